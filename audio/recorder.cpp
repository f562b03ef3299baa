#include "audio/recorder.h"

#include <span>

namespace sequelo::audio {

Recorder::Recorder(AudioBackend& audio) : audio_(audio) {}

Recorder::~Recorder() {
  Close();
}

int Recorder::Open(const AudioDeviceInfo& device) {
  if (stream_) {
    return 0;
  }
  error_.clear();
  stream_ = audio_.OpenCapture(device, core::kCaptureRateHz, core::kCaptureChannels, error_);
  if (!stream_) {
    if (error_.empty()) {
      error_ = "cannot open " + device.name;
    }
    return 1;
  }
  std::lock_guard lock(mutex_);
  free_.clear();
  filled_.clear();
  for (std::size_t i = 0; i < kCaptureBufferCount; ++i) {
    buffers_[i].fill(0);
    free_.push_back(i);
  }
  analysed_ = 0;
  lost_ = 0;
  return 0;
}

void Recorder::SetCallback(BufferCallback callback) {
  callback_ = std::move(callback);
}

void Recorder::Start() {
  if (!stream_ || running_.load()) {
    return;
  }
  {
    std::lock_guard lock(mutex_);
    deviceDone_ = false;
  }
  running_ = true;
  captureThread_ = std::thread([this] { CaptureThreadMain(); });
  deviceThread_ = std::thread([this] { DeviceThreadMain(); });
}

void Recorder::DeviceThreadMain() {
  // The device records into this block; a completed block goes into a free
  // buffer. With every buffer waiting for the capture thread, the block is
  // lost and counted (the device still has to be read, or it would stall).
  std::array<std::int16_t, core::kBufferSamples> block{};
  while (running_.load()) {
    const std::size_t got = stream_->Read(std::span<std::int16_t>(block.data(), block.size()));
    if (got != block.size()) {
      break;  // the device has ended or failed
    }
    std::lock_guard lock(mutex_);
    if (free_.empty()) {
      ++lost_;
      continue;
    }
    const std::size_t index = free_.front();
    free_.pop_front();
    buffers_[index] = block;
    filled_.push_back(index);
    filledCv_.notify_one();
  }
  std::lock_guard lock(mutex_);
  deviceDone_ = true;
  filledCv_.notify_one();
}

void Recorder::CaptureThreadMain() {
  for (;;) {
    std::size_t index = 0;
    {
      std::unique_lock lock(mutex_);
      filledCv_.wait(lock, [this] { return !filled_.empty() || deviceDone_; });
      if (filled_.empty()) {
        return;  // the device has stopped and every filled buffer was handed on
      }
      index = filled_.front();
      filled_.pop_front();
    }
    // The buffer is out of circulation while the callback reads it.
    if (callback_) {
      callback_(core::CaptureBuffer(buffers_[index].data(), core::kBufferSamples));
    }
    ++analysed_;
    std::lock_guard lock(mutex_);
    free_.push_back(index);
  }
}

void Recorder::Stop() {
  if (!running_.exchange(false)) {
    return;
  }
  // The device thread notices within one buffer (its read returns every
  // 21.33 ms); the capture thread then hands on what is left and ends.
  if (deviceThread_.joinable()) {
    deviceThread_.join();
  }
  if (captureThread_.joinable()) {
    captureThread_.join();
  }
}

void Recorder::Close() {
  Stop();
  stream_.reset();
}

std::vector<AudioDeviceInfo> ListInputDevices(AudioBackend& audio) {
  std::vector<AudioDeviceInfo> devices = audio.InputDevices();
  if (devices.size() > kMaxInputDevices) {
    const bool loopbackLast = devices.back().backend == "loopback";
    const AudioDeviceInfo last = devices.back();
    devices.resize(kMaxInputDevices);
    if (loopbackLast) {
      devices.back() = last;
    }
  }
  return devices;
}

bool StartCapture(Recorder& recorder, const std::vector<AudioDeviceInfo>& devices,
                  int selectedIndex, Recorder::BufferCallback callback) {
  if (selectedIndex < 0 || static_cast<std::size_t>(selectedIndex) >= devices.size()) {
    return false;
  }
  if (recorder.Open(devices[static_cast<std::size_t>(selectedIndex)]) != 0) {
    return false;
  }
  recorder.SetCallback(std::move(callback));
  recorder.Start();
  return recorder.IsRunning();
}

void StopCapture(Recorder& recorder) {
  recorder.Stop();
  recorder.Close();
}

}  // namespace sequelo::audio
