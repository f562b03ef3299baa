// Sound devices as the program sees them, whatever the system underneath:
// lists of output and input devices, a playback stream on an output device
// (11025 Hz mono 16-bit for the transmitter and the local speaker) and a
// capture stream on an input device (6000 Hz two channels for the decoder).
// Backends: PulseAudio (also PipeWire), ALSA, and the virtual "Loopback"
// device that joins an output to an input. Streams exchange samples with
// the program's threads; nothing of ours runs inside the system's real-time
// audio callbacks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace sequelo::audio {

inline constexpr int kPlaybackRateHz = 11025;
inline constexpr std::string_view kLoopbackName = "Loopback";

struct AudioDeviceInfo {
  std::string name;     // what the operator sees and the settings store
  std::string backend;  // "pulse", "alsa", "loopback", "null"
  std::string id;       // the backend's own name for it
};

// Plays 16-bit samples. One thread at a time.
class PlaybackStream {
 public:
  virtual ~PlaybackStream() = default;
  // Queues the samples; blocks while the device's buffer is full, so writing
  // goes at the pace the device plays. Consecutive writes play back to back.
  virtual bool Write(std::span<const std::int16_t> samples) = 0;
  // Blocks until everything written has been played, by the stream's clock.
  virtual bool Drain() = 0;
  // Frames played so far, by the stream's own clock.
  virtual std::uint64_t PlayedFrames() = 0;
  // Frames written so far.
  virtual std::uint64_t WrittenFrames() const = 0;
};

// Delivers 16-bit interleaved samples. One thread at a time.
class CaptureStream {
 public:
  virtual ~CaptureStream() = default;
  // Fills `samples` (whole frames) and returns the number of samples, 0 when
  // the stream has ended or failed. Blocks until the audio has arrived.
  virtual std::size_t Read(std::span<std::int16_t> samples) = 0;
};

class AudioBackend {
 public:
  virtual ~AudioBackend() = default;
  virtual std::vector<AudioDeviceInfo> OutputDevices() = 0;
  virtual std::vector<AudioDeviceInfo> InputDevices() = 0;
  // The system's default output, if there is one.
  virtual bool DefaultOutput(AudioDeviceInfo& device) = 0;
  virtual std::unique_ptr<PlaybackStream> OpenPlayback(const AudioDeviceInfo& device, int rateHz,
                                                       int channels, std::string& error) = 0;
  virtual std::unique_ptr<CaptureStream> OpenCapture(const AudioDeviceInfo& device, int rateHz,
                                                     int channels, std::string& error) = 0;
};

}  // namespace sequelo::audio
