// Sound devices of a PulseAudio server, or of PipeWire through
// pipewire-pulse: lists its sinks (outputs) and sources (inputs, monitors of
// sinks included) by the description the operator knows them by, tells the
// default sink, and opens 16-bit playback and capture streams on them. The
// server converts rates and channels. Listing runs on a libpulse thread of
// its own; any of our threads may call the backend. Streams are used by one
// thread at a time; they block in our thread, never in libpulse's.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "audio/audio_device.h"

struct pa_threaded_mainloop;
struct pa_context;

namespace sequelo::audio {

inline constexpr std::string_view kPulseBackendName = "pulse";

class PulseBackend final : public AudioBackend {
 public:
  // Connects to the server that PULSE_SERVER (else the session's runtime
  // folder) names, without starting one. Returns nullptr and sets `error`
  // when none answers within about two seconds.
  static std::unique_ptr<PulseBackend> Connect(std::string& error);

  ~PulseBackend() override;
  PulseBackend(const PulseBackend&) = delete;
  PulseBackend& operator=(const PulseBackend&) = delete;

  // Every sink. Empty if the server has gone.
  std::vector<AudioDeviceInfo> OutputDevices() override;
  // Every source, monitors of sinks included. Empty if the server has gone.
  std::vector<AudioDeviceInfo> InputDevices() override;
  bool DefaultOutput(AudioDeviceInfo& device) override;
  // A device with an empty id means the server's default sink or source.
  std::unique_ptr<PlaybackStream> OpenPlayback(const AudioDeviceInfo& device, int rateHz,
                                               int channels, std::string& error) override;
  std::unique_ptr<CaptureStream> OpenCapture(const AudioDeviceInfo& device, int rateHz,
                                             int channels, std::string& error) override;

 private:
  PulseBackend(pa_threaded_mainloop* mainloop, pa_context* context);

  // The sinks (`sinks` true) or sources, asked of the server.
  std::vector<AudioDeviceInfo> ListDevices(bool sinks);
  // True if the server has the sink (`sink` true) or source that `device`
  // names, or it names none (the default). A stream opened on a name the
  // server does not know could play on another device (PipeWire falls back
  // to the default), so a device that has gone must fail instead.
  bool Exists(const AudioDeviceInfo& device, bool sink, std::string& error);

  pa_threaded_mainloop* mainloop_;
  pa_context* context_;
};

}  // namespace sequelo::audio
