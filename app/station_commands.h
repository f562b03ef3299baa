// Commands of sequelo-cli that look after the station's hardware: list the
// serial devices and the radio models of Hamlib, and key the transmitter once
// as configured, so an operator can check the wiring before going on air.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/message_sink.h"
#include "tx/hamlib_rig.h"
#include "tx/serial_port.h"

namespace sequelo::app {

// Prints one detected serial device per line. Returns 0.
int RunPortsCommand(const std::vector<std::string>& devices, std::FILE* out, std::FILE* err);

// Prints the radio models Hamlib knows, one "number maker model" a line,
// sorted by maker and model. Returns 0.
int RunRigsCommand(const std::vector<tx::RigModel>& models, std::FILE* out);

// Loads the PTT settings from Sequelo.ini in `startupDir`, opens the port,
// keys, holds for `holdMs`, releases, restores and closes the port, printing
// each step. With a Hamlib model set, the same through `rig` (the radio's
// read-back of its PTT printed after keying and after the release).
// Returns 0 when every step worked, 1 otherwise.
int RunPttTestCommand(const std::string& startupDir, std::uint32_t holdMs, tx::SerialPort& port,
                      core::MessageSink& messages, core::Sleeper& sleeper, std::FILE* out,
                      tx::RigLink* rig = nullptr);

}  // namespace sequelo::app
