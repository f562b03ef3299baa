// Commands of sequelo-cli that make sound: list the sound devices, write a
// call as a wave file, and send a call on the air with the station's
// settings.
#pragma once

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "audio/audio_device.h"
#include "control/command_interpreter.h"
#include "core/message_sink.h"
#include "core/transmitter.h"
#include "tx/serial_port.h"

namespace sequelo::app {

// Prints the output and input devices (number, name, backend) and the
// serial devices. Returns 0.
int RunDevicesCommand(audio::AudioBackend& audio, const std::string& backendName,
                      const std::vector<std::string>& serialDevices, std::FILE* out);

struct EncodeRequest {
  std::string code;
  int modeIndex = 0;
  bool pilot = false;
  std::uint32_t pilotFreqHz = 0;
  std::uint32_t pilotLenMs = 0;
  std::string outputPath;
};

// Writes exactly the code sound file that sending the call would write.
// Returns 0, or 1 (with a message on `err`) when the file cannot be written.
int RunEncodeCommand(const EncodeRequest& request, std::FILE* err);

// Sends `code` with the output device, PTT and pilot settings of
// Sequelo.ini in `startupDir` (mode from `modeIndex`, or from the settings
// when it is -1), logging "Code sent: <code>", within the transmitter's
// limits of the settings. With `signals` (blocked by the caller), one of
// them cuts the call short and releases the transmitter at once. Returns 0
// when sent.
//
// With `alarm`, the code goes out in that shape, all in one keying, its
// siren named as the trailer table (TrailerTones) names it; "Alarm sent:
// <code>" is logged. A shape that cannot be sent (no own code for the
// caller, no such siren, beyond the transmitter's limits) sends nothing
// and returns 1. So does a keying the radio does not confirm.
struct SendAlarm {
  control::AlarmShape shape;
  std::string sirenName;  // with Trailer::kSiren
};
int RunSendCommand(const std::string& startupDir, const std::string& code, int modeIndex,
                   audio::AudioBackend& audio, tx::SerialPort& port, core::MessageSink& messages,
                   std::FILE* out, const sigset_t* signals = nullptr,
                   const SendAlarm* alarm = nullptr);

}  // namespace sequelo::app
