// A wave file sent over the air: read whole first, then the transmitter
// keyed, the samples played, and released once the last one has played.
#pragma once

#include <string>

#include "audio/wave_file.h"
#include "tx/transmission.h"

namespace sequelo::tx {

// Nothing is keyed when the file cannot be read, is not one the program
// plays, or there is no transmit device. The caller reports the outcome
// (audio::ReportWaveOutcome) once the transmitter is free again.
audio::WaveOutcome SendWaveFile(Transmission& tx, const std::string& path);

}  // namespace sequelo::tx
