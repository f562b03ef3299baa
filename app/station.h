// The headless station: the whole program without a window. Start-up brings
// the parts up in the station's fixed order (settings, log file, PTT port,
// tone set, "Program startup", output devices, decoder, capture, remote
// control); shut-down takes them down again (settings saved, output
// released, capture stopped, "Program termination", port restored, log
// closed). Activity lines go to standard output, messages to standard error.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "audio/audio_device.h"
#include "tx/serial_port.h"

namespace sequelo::app {

inline constexpr std::uint16_t kRemotePort = 15286;

struct StationOptions {
  std::string startupDir;                  // holds Sequelo.ini, the default log, sound files
  bool analysisLog = false;                // the decoder's analysis lines to the log file
  std::uint16_t remotePort = kRemotePort;  // 0: any free port (tests)
};

// Runs the station until `waitForStop(ms)` returns true (called repeatedly
// with a time-out; lost audio buffers are reported between calls). Returns 0
// after a normal shut-down.
int RunStation(const StationOptions& options, audio::AudioBackend& audio, tx::SerialPort& port,
               const std::function<bool(int timeoutMs)>& waitForStop, std::FILE* out,
               std::FILE* err);

}  // namespace sequelo::app
