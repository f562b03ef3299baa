// Sound devices straight from ALSA, for systems without a sound server
// (a headless Raspberry Pi): "default" when it can be opened, then every PCM
// device of every card as "plughw:CARD=<id>,DEV=<n>", which converts rates
// and channels in the library. Playback and capture block in the calling
// thread and recover from under- and overruns. Any thread may list devices
// and open streams; each stream is used by one thread at a time. alsa-lib's
// own error messages are silenced, so a machine with no sound card lists
// nothing and prints nothing.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "audio/audio_device.h"

namespace sequelo::audio {

inline constexpr std::string_view kAlsaBackendName = "alsa";
inline constexpr std::string_view kAlsaDefaultId = "default";

class AlsaBackend final : public AudioBackend {
 public:
  AlsaBackend();

  std::vector<AudioDeviceInfo> OutputDevices() override;
  std::vector<AudioDeviceInfo> InputDevices() override;
  // "default", if it can be opened for playback.
  bool DefaultOutput(AudioDeviceInfo& device) override;
  std::unique_ptr<PlaybackStream> OpenPlayback(const AudioDeviceInfo& device, int rateHz,
                                               int channels, std::string& error) override;
  std::unique_ptr<CaptureStream> OpenCapture(const AudioDeviceInfo& device, int rateHz,
                                             int channels, std::string& error) override;
};

}  // namespace sequelo::audio
