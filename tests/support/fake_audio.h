// A fake audio system: output devices that record every write, drain and the
// order of events, with failures on demand; shared with a fake transmitter
// so tests can check that keying, playing, draining and releasing happen in
// the right order.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "audio/audio_device.h"
#include "core/transmitter.h"

namespace sequelo::testsupport {

// One timeline of what happened, across devices and the transmitter.
struct EventTrail {
  std::mutex mutex;
  std::vector<std::string> events;  // "key", "release", "write <device> <n>", "drain <device>"
  void Add(std::string event) {
    std::lock_guard lock(mutex);
    events.push_back(std::move(event));
  }
};

// What a fake output received; outlives the stream (the code under test may
// close it).
struct PlaybackRecording {
  std::vector<std::vector<std::int16_t>> writes;
};

class FakePlayback final : public audio::PlaybackStream {
 public:
  FakePlayback(std::string name, EventTrail& trail, std::shared_ptr<PlaybackRecording> recording)
      : writes(recording->writes),
        recording_(std::move(recording)),
        name_(std::move(name)),
        trail_(trail) {}
  bool Write(std::span<const std::int16_t> samples) override {
    writes.emplace_back(samples.begin(), samples.end());
    written_ += samples.size();
    trail_.Add("write " + name_ + " " + std::to_string(samples.size()));
    return true;
  }
  bool Drain() override {
    played_ = written_;
    trail_.Add("drain " + name_);
    return true;
  }
  std::uint64_t PlayedFrames() override { return played_; }
  std::uint64_t WrittenFrames() const override { return written_; }
  std::vector<std::int16_t> AllSamples() const {
    std::vector<std::int16_t> all;
    for (const auto& w : writes) {
      all.insert(all.end(), w.begin(), w.end());
    }
    return all;
  }

  std::vector<std::vector<std::int16_t>>& writes;

 private:
  std::shared_ptr<PlaybackRecording> recording_;
  std::string name_;
  EventTrail& trail_;
  std::uint64_t written_ = 0;
  std::uint64_t played_ = 0;
};

class FakeAudioBackend final : public audio::AudioBackend {
 public:
  explicit FakeAudioBackend(EventTrail& trail, int devices = 2) : trail_(trail) {
    for (int i = 0; i < devices; ++i) {
      outputs.push_back({"Device " + std::to_string(i), "fake", "dev" + std::to_string(i)});
    }
  }
  std::vector<audio::AudioDeviceInfo> OutputDevices() override { return outputs; }
  std::vector<audio::AudioDeviceInfo> InputDevices() override { return {}; }
  bool DefaultOutput(audio::AudioDeviceInfo& device) override {
    if (!hasDefault || outputs.empty()) {
      return false;
    }
    device = outputs[0];
    return true;
  }
  std::unique_ptr<audio::PlaybackStream> OpenPlayback(const audio::AudioDeviceInfo& device, int,
                                                      int, std::string& error) override {
    opened.push_back(device.id);
    if (failing.count(device.id) != 0) {
      error = "cannot open " + device.id;
      return nullptr;
    }
    recordings.push_back(std::make_shared<PlaybackRecording>());
    auto stream = std::make_unique<FakePlayback>(device.id, trail_, recordings.back());
    streams.push_back(stream.get());
    return stream;
  }
  std::unique_ptr<audio::CaptureStream> OpenCapture(const audio::AudioDeviceInfo&, int, int,
                                                    std::string& error) override {
    error = "no capture";
    return nullptr;
  }

  std::vector<audio::AudioDeviceInfo> outputs;
  bool hasDefault = true;
  std::set<std::string> failing;  // ids that will not open
  std::vector<std::string> opened;
  std::vector<FakePlayback*> streams;                          // owned by the code under test
  std::vector<std::shared_ptr<PlaybackRecording>> recordings;  // one per stream opened

 private:
  EventTrail& trail_;
};

class FakeTransmitter final : public core::Transmitter {
 public:
  explicit FakeTransmitter(EventTrail& trail) : trail_(trail) {}
  void KeyTransmitter() override { trail_.Add("key"); }
  void ReleaseTransmitter() override { trail_.Add("release"); }

 private:
  EventTrail& trail_;
};

}  // namespace sequelo::testsupport
