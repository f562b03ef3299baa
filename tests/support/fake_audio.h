// A fake audio system: output devices that record every write, drain and the
// order of events, with failures on demand; shared with a fake transmitter
// so tests can check that keying, playing, draining and releasing happen in
// the right order.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
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

// A capture device the test feeds: Read blocks until the test has supplied
// enough audio (or, free-running, returns silence at once); Ended() makes it
// report the end of the stream.
class FakeCaptureStream final : public audio::CaptureStream {
 public:
  explicit FakeCaptureStream(bool freeRunning = false) : freeRunning_(freeRunning) {}

  // Delivers no faster than a real device (one buffer per 21.33 ms), so a
  // capture thread that keeps up never loses a buffer however the threads
  // are scheduled.
  void PaceLikeADevice() { paced_ = true; }

  std::size_t Read(std::span<std::int16_t> samples) override {
    if (paced_) {
      if (reads_ == 0) {
        start_ = std::chrono::steady_clock::now();
      }
      std::this_thread::sleep_until(start_ + std::chrono::microseconds((reads_ + 1) * 21333));
    }
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return ended_ || freeRunning_ || queued_.size() >= samples.size(); });
    if (ended_) {
      return 0;
    }
    for (std::int16_t& s : samples) {
      if (queued_.empty()) {
        s = 0;
      } else {
        s = queued_.front();
        queued_.pop_front();
      }
    }
    ++reads_;
    cv_.notify_all();
    return samples.size();
  }

  void Feed(const std::vector<std::int16_t>& interleaved) {
    std::lock_guard lock(mutex_);
    queued_.insert(queued_.end(), interleaved.begin(), interleaved.end());
    cv_.notify_all();
  }
  void End() {
    std::lock_guard lock(mutex_);
    ended_ = true;
    cv_.notify_all();
  }
  // Blocks until the device has taken `count` buffers in all.
  void WaitForReads(std::uint64_t count) {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return reads_ >= count; });
  }
  std::uint64_t Reads() {
    std::lock_guard lock(mutex_);
    return reads_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::int16_t> queued_;
  std::uint64_t reads_ = 0;
  bool ended_ = false;
  bool freeRunning_;
  std::atomic<bool> paced_{false};
  std::chrono::steady_clock::time_point start_{};
};

// An audio system with one input, whose stream the test holds.
class FakeCaptureBackend final : public audio::AudioBackend {
 public:
  explicit FakeCaptureBackend(bool freeRunning = false, bool paced = false)
      : freeRunning_(freeRunning), paced_(paced) {}
  std::vector<audio::AudioDeviceInfo> OutputDevices() override { return {}; }
  std::vector<audio::AudioDeviceInfo> InputDevices() override {
    return {{"Receiver", "fake", "rx"}, {"Broken", "fake", "broken"}};
  }
  bool DefaultOutput(audio::AudioDeviceInfo&) override { return false; }
  std::unique_ptr<audio::PlaybackStream> OpenPlayback(const audio::AudioDeviceInfo&, int, int,
                                                      std::string& error) override {
    error = "no output";
    return nullptr;
  }
  std::unique_ptr<audio::CaptureStream> OpenCapture(const audio::AudioDeviceInfo& device, int, int,
                                                    std::string& error) override {
    if (device.id != "rx" || failOpens > 0) {
      failOpens -= device.id == "rx" ? 1 : 0;
      error = "device busy";
      return nullptr;
    }
    auto stream = std::make_unique<FakeCaptureStream>(freeRunning_);
    if (paced_) {
      stream->PaceLikeADevice();
    }
    current = stream.get();
    ++opens;
    return stream;
  }
  FakeCaptureStream* current = nullptr;  // the last stream opened (owned by the recorder)
  int opens = 0;
  int failOpens = 0;  // opens of the receiver still to fail (a server too busy to answer)

 private:
  bool freeRunning_;
  bool paced_;
};

class FakeTransmitter final : public core::Transmitter {
 public:
  explicit FakeTransmitter(EventTrail& trail) : trail_(trail) {}
  bool KeyTransmitter() override {
    trail_.Add("key");
    return true;
  }
  void ReleaseTransmitter() override { trail_.Add("release"); }

 private:
  EventTrail& trail_;
};

}  // namespace sequelo::testsupport
