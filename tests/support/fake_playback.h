// Fakes of the output side for tests (named apart from those in fake_audio.h
// so both may be used in one program): an audio system whose playback streams
// keep every sample written to them and play instantly, and a transmitter
// that records keying. Both can log into one shared list of events, so a
// test sees the order of keying, writes and drains across them. One thread
// at a time, as the real streams.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "audio/audio_device.h"
#include "core/transmitter.h"

namespace sequelo::testsupport {

// Events in the order they happened: "key", "release", "<stream id> write
// <n>", "<stream id> drain".
using PlaybackEventLog = std::vector<std::string>;

class RecordingPlayback final : public audio::PlaybackStream {
 public:
  RecordingPlayback(std::string id, PlaybackEventLog* events)
      : id_(std::move(id)), events_(events) {}

  bool Write(std::span<const std::int16_t> samples) override {
    Log(id_ + " write " + std::to_string(samples.size()));
    ++writes;
    if (onWrite) {
      onWrite();
    }
    if (failWrite) {
      return false;
    }
    samples_.insert(samples_.end(), samples.begin(), samples.end());
    return true;
  }
  bool Drain() override {
    Log(id_ + " drain");
    ++drains;
    return !failDrain;
  }
  std::uint64_t PlayedFrames() override { return samples_.size(); }
  std::uint64_t WrittenFrames() const override { return samples_.size(); }

  const std::string& Id() const { return id_; }
  const std::vector<std::int16_t>& Samples() const { return samples_; }

  bool failWrite = false;
  bool failDrain = false;
  std::function<void()> onWrite;  // runs inside every Write
  int writes = 0;
  int drains = 0;

 private:
  void Log(std::string event) {
    if (events_ != nullptr) {
      events_->push_back(std::move(event));
    }
  }

  std::string id_;
  PlaybackEventLog* events_;
  std::vector<std::int16_t> samples_;
};

// Outputs "Radio" (id "radio") and "Speaker" (id "speaker", the default).
// Every stream opened is a RecordingPlayback named by its device's id.
class RecordingAudioBackend final : public audio::AudioBackend {
 public:
  explicit RecordingAudioBackend(PlaybackEventLog* events = nullptr) : events_(events) {}

  std::vector<audio::AudioDeviceInfo> OutputDevices() override {
    return {{"Radio", "fake", "radio"}, {"Speaker", "fake", "speaker"}};
  }
  std::vector<audio::AudioDeviceInfo> InputDevices() override { return {}; }
  bool DefaultOutput(audio::AudioDeviceInfo& device) override {
    device = {"Speaker", "fake", "speaker"};
    return true;
  }
  std::unique_ptr<audio::PlaybackStream> OpenPlayback(const audio::AudioDeviceInfo& device,
                                                      int rateHz, int channels,
                                                      std::string& error) override {
    opened.push_back(device.id + " " + std::to_string(rateHz) + " " + std::to_string(channels));
    if (failOpen) {
      error = "cannot open";
      return nullptr;
    }
    return std::make_unique<RecordingPlayback>(device.id, events_);
  }
  std::unique_ptr<audio::CaptureStream> OpenCapture(const audio::AudioDeviceInfo&, int, int,
                                                    std::string& error) override {
    error = "no capture device";
    return nullptr;
  }

  bool failOpen = false;
  std::vector<std::string> opened;  // "<id> <rate> <channels>"

 private:
  PlaybackEventLog* events_;
};

class RecordingTransmitter final : public core::Transmitter {
 public:
  explicit RecordingTransmitter(PlaybackEventLog* events = nullptr) : events_(events) {}
  bool KeyTransmitter() override {
    ++keys;
    if (events_ != nullptr) {
      events_->push_back("key");
    }
    if (onKey) {
      onKey();
    }
    return !refuseKeys;
  }
  void ReleaseTransmitter() override {
    ++releases;
    if (events_ != nullptr) {
      events_->push_back("release");
    }
    owed_ = failReleases > 0 && failReleases-- > 0;
  }
  std::string LastFailure() const override { return "the radio does not answer"; }
  bool ReleaseOwed() const override { return owed_; }
  std::function<void()> onKey;       // runs inside every KeyTransmitter
  bool refuseKeys = false;           // a radio that never confirms a keying
  std::atomic<int> failReleases{0};  // releases the radio does not confirm
  int keys = 0;
  std::atomic<int> releases{0};

 private:
  PlaybackEventLog* events_;
  std::atomic<bool> owed_{false};
};

}  // namespace sequelo::testsupport
