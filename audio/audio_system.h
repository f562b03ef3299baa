// The one place that picks the audio backend: the sound server (PulseAudio
// or PipeWire) when one answers, else ALSA; the Loopback device is always
// there, listed last among outputs and inputs.
#pragma once

#include <memory>

#include "audio/audio_device.h"
#include "audio/loopback_device.h"

namespace sequelo::audio {

class AudioSystem final : public AudioBackend {
 public:
  // `system` may be null (no sound system at all: only Loopback).
  explicit AudioSystem(std::unique_ptr<AudioBackend> system);

  // Connects to the sound server, else ALSA. `backendName` tells which.
  static std::unique_ptr<AudioSystem> Open(std::string& backendName);

  std::vector<AudioDeviceInfo> OutputDevices() override;
  std::vector<AudioDeviceInfo> InputDevices() override;
  // The system's default output; without one, there is no default.
  bool DefaultOutput(AudioDeviceInfo& device) override;
  std::unique_ptr<PlaybackStream> OpenPlayback(const AudioDeviceInfo& device, int rateHz,
                                               int channels, std::string& error) override;
  std::unique_ptr<CaptureStream> OpenCapture(const AudioDeviceInfo& device, int rateHz,
                                             int channels, std::string& error) override;

  LoopbackDevice& Loopback() { return loopback_; }

 private:
  std::unique_ptr<AudioBackend> system_;
  LoopbackDevice loopback_;
};

// The entry of `devices` whose name begins with `stored` (letters without
// regard to case), else entry 0, else -1.
int FindDeviceByPrefix(const std::vector<AudioDeviceInfo>& devices, const std::string& stored);

}  // namespace sequelo::audio
