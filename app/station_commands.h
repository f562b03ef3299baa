// Commands of sequelo-cli that look after the station's hardware: list the
// serial devices, and key the transmitter once as configured, so an operator
// can check the wiring before going on air.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/message_sink.h"
#include "tx/serial_port.h"

namespace sequelo::app {

// Prints one detected serial device per line. Returns 0.
int RunPortsCommand(const std::vector<std::string>& devices, std::FILE* out, std::FILE* err);

// Loads the PTT settings from Sequelo.ini in `startupDir`, opens the port,
// keys, holds for `holdMs`, releases, restores and closes the port, printing
// each step. Returns 0 when every step worked, 1 otherwise.
int RunPttTestCommand(const std::string& startupDir, std::uint32_t holdMs, tx::SerialPort& port,
                      core::MessageSink& messages, core::Sleeper& sleeper, std::FILE* out);

}  // namespace sequelo::app
