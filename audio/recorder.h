// Audio capture: records the receiver's audio without pause from one input
// device (6000 Hz, two channels, 16 bit) into 16 rotating buffers of 128
// frames (512 bytes, 21.33 ms), and hands every filled buffer, in the order
// it was filled, to the callback on a thread of its own, the capture thread.
//
// Two threads run while capturing: the device thread, which only reads the
// capture stream into free buffers and queues them, and the capture thread,
// which runs the callback (the whole decoding road; it may block, e.g. while
// an answer is transmitted). Buffers filled meanwhile wait their turn as long
// as the 16 last; audio that finds no free buffer is lost and counted.
//
// Open, Start, Stop and Close are called from one controlling thread (the
// window thread, or the command line's main thread). Stop waits for both
// threads; the callback must therefore never wait for the thread that stops
// the capture.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_device.h"
#include "core/buffer_analysis.h"

namespace sequelo::audio {

inline constexpr std::size_t kCaptureBufferCount = 16;
inline constexpr std::size_t kMaxInputDevices = 10;

class Recorder {
 public:
  using BufferCallback = std::function<void(core::CaptureBuffer)>;

  // `audio` must outlive the recorder.
  explicit Recorder(AudioBackend& audio);
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // Opens `device` at 6000 Hz, two channels, 16 bit. Returns 0, or non-zero
  // with Error() when the device does not open (capture stays closed).
  int Open(const AudioDeviceInfo& device);
  // Registers the callback (call before Start).
  void SetCallback(BufferCallback callback);
  // Starts the device and the capture thread.
  void Start();
  // Stops recording; buffers already filled are still handed to the
  // callback, then both threads end.
  void Stop();
  // Stops and releases the device and the buffers.
  void Close();

  bool IsOpen() const { return stream_ != nullptr; }
  bool IsRunning() const { return running_.load(); }
  const std::string& Error() const { return error_; }
  // Buffers handed to the callback, and buffers lost because all 16 were
  // waiting (since Open). Any thread.
  std::uint64_t AnalysedBuffers() const { return analysed_.load(); }
  std::uint64_t LostBuffers() const { return lost_.load(); }

 private:
  void DeviceThreadMain();
  void CaptureThreadMain();

  AudioBackend& audio_;
  std::unique_ptr<CaptureStream> stream_;
  BufferCallback callback_;
  std::string error_;

  std::array<std::array<std::int16_t, core::kBufferSamples>, kCaptureBufferCount> buffers_{};
  std::mutex mutex_;
  std::condition_variable filledCv_;
  std::deque<std::size_t> free_;    // buffers the device may fill
  std::deque<std::size_t> filled_;  // buffers waiting for the callback, in order
  bool deviceDone_ = false;

  std::atomic<bool> running_{false};
  std::atomic<std::uint64_t> analysed_{0};
  std::atomic<std::uint64_t> lost_{0};
  std::thread deviceThread_;
  std::thread captureThread_;
};

// The input devices, at most 10, in the audio system's order; the Loopback
// device, listed last, is always kept.
std::vector<AudioDeviceInfo> ListInputDevices(AudioBackend& audio);

// Opens the device at `selectedIndex` of `devices` (none selected, or an
// index outside the list: nothing opens, capture stays stopped), registers
// `callback` and starts. Returns false when capture did not start.
bool StartCapture(Recorder& recorder, const std::vector<AudioDeviceInfo>& devices,
                  int selectedIndex, Recorder::BufferCallback callback);
void StopCapture(Recorder& recorder);

}  // namespace sequelo::audio
