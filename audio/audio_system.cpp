#include "audio/audio_system.h"

#include "audio/alsa_backend.h"
#include "audio/pulse_backend.h"
#include "core/text_match.h"

namespace sequelo::audio {

AudioSystem::AudioSystem(std::unique_ptr<AudioBackend> system) : system_(std::move(system)) {}

std::unique_ptr<AudioSystem> AudioSystem::Open(std::string& backendName) {
  std::string error;
  if (auto pulse = PulseBackend::Connect(error)) {
    backendName = "PulseAudio (sound server)";
    return std::make_unique<AudioSystem>(std::move(pulse));
  }
  // No sound server answers (a bare system): the cards themselves.
  backendName = "ALSA (no sound server answered: " + error + ")";
  return std::make_unique<AudioSystem>(std::make_unique<AlsaBackend>());
}

std::vector<AudioDeviceInfo> AudioSystem::OutputDevices() {
  std::vector<AudioDeviceInfo> devices =
      system_ ? system_->OutputDevices() : std::vector<AudioDeviceInfo>{};
  devices.push_back(LoopbackDevice::Info());
  return devices;
}

std::vector<AudioDeviceInfo> AudioSystem::InputDevices() {
  std::vector<AudioDeviceInfo> devices =
      system_ ? system_->InputDevices() : std::vector<AudioDeviceInfo>{};
  devices.push_back(LoopbackDevice::Info());
  return devices;
}

bool AudioSystem::DefaultOutput(AudioDeviceInfo& device) {
  return system_ && system_->DefaultOutput(device);
}

std::unique_ptr<PlaybackStream> AudioSystem::OpenPlayback(const AudioDeviceInfo& device, int rateHz,
                                                          int channels, std::string& error) {
  if (device.backend == "loopback") {
    return loopback_.OpenPlayback(rateHz, channels);
  }
  if (!system_) {
    error = "no sound system";
    return nullptr;
  }
  return system_->OpenPlayback(device, rateHz, channels, error);
}

std::unique_ptr<CaptureStream> AudioSystem::OpenCapture(const AudioDeviceInfo& device, int rateHz,
                                                        int channels, std::string& error) {
  if (device.backend == "loopback") {
    return loopback_.OpenCapture(rateHz, channels, error);
  }
  if (!system_) {
    error = "no sound system";
    return nullptr;
  }
  return system_->OpenCapture(device, rateHz, channels, error);
}

int FindDeviceByPrefix(const std::vector<AudioDeviceInfo>& devices, const std::string& stored) {
  std::vector<std::string> names;
  for (const AudioDeviceInfo& device : devices) {
    names.push_back(device.name);
  }
  return core::FindEntryByPrefix(names, stored);
}

}  // namespace sequelo::audio
