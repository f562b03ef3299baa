// A wave file sent over the air: read whole first, then the transmitter
// keyed, the samples played, and released once the last one has played.
#pragma once

#include <cstdint>
#include <string>

#include "audio/wave_file.h"
#include "tx/transmission.h"

namespace sequelo::tx {

// Nothing is keyed when the file cannot be read, is not one the program
// plays, there is no transmit device, or its sound would take longer than
// `maxSoundMs` (kTooLong). The caller reports the outcome
// (audio::ReportWaveOutcome) once the transmitter is free again.
audio::WaveOutcome SendWaveFile(Transmission& tx, const std::string& path,
                                std::uint64_t maxSoundMs = UINT64_MAX);

}  // namespace sequelo::tx
