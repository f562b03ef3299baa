// Frame sources backed by files and pipes: any format libsndfile reads, and
// raw signed 16-bit little-endian mono samples.
#pragma once

#include <memory>
#include <string>

#include "audio/frame_source.h"

namespace sequelo::audio {

// Opens an audio file that libsndfile reads (WAV, FLAC, OGG, AIFF, ...). The
// path "-" reads standard input. On failure returns nullptr and sets `error`
// to a one-line reason ("No such file or directory", "not a recognised audio
// file", ...).
std::unique_ptr<FrameSource> OpenSoundFile(const std::string& path, std::string& error);

// Opens raw signed 16-bit little-endian mono samples at `sampleRateHz` from a
// file, or from standard input for "-". Reads as the data arrives, so a live
// pipe is decoded while it runs.
std::unique_ptr<FrameSource> OpenRawPcm(const std::string& path, double sampleRateHz,
                                        std::string& error);

}  // namespace sequelo::audio
