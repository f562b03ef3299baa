// One call over the air: the transmitter keyed, the optional pilot tone and
// the five tones with the repeat rule, each as long as its set's tones (70 ms
// in the ZVEI family, 100 ms CCIR, 40 ms EEA, 33 ms EIA), the release once the last tone
// has played, and optionally what it played saved as
// "<code with * as X>_<mode>.wav" in the start-up directory.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "audio/tone_generator.h"
#include "core/tone_set.h"
#include "core/trailer_detector.h"
#include "core/transmitter.h"
#include "tx/abortable_wait.h"
#include "tx/transmission.h"

namespace sequelo::tx {

// What a call reads at the moment it is sent (the window's controls and the
// settings, as they are then).
struct CallOptions {
  const core::ToneSet* toneSet = nullptr;  // null: no tones (no mode chosen)
  bool pilotTone = false;
  std::uint32_t pilotFreqHz = 300;
  std::uint32_t pilotLenMs = 300;
  bool generateSoundfiles = false;
  std::string modeName;    // the mode's name ("ZVEI", "CCIR", ...), for the sound file's name
  std::string startupDir;  // where sound files go
  // The TX delay each keying waits (inside the PTT controller): known here
  // so that a transmission can be timed before it is keyed.
  std::uint32_t txDelayMs = 0;
  // What an alarm sends beyond the call: the own code as the caller, and
  // the table its wake tone and sirens come from.
  std::string ownCode;
  std::vector<core::TrailerClass> trailerClasses = core::DefaultTrailerClasses();
};

// How long a call's sound lasts: the pilot tone and five tones (none
// without a tone set).
std::uint32_t CallSoundMs(const CallOptions& options);

// The options of a built-in mode (tone set and mode name), nothing else on;
// no tone set for an index that is not a mode.
CallOptions CallOptionsForMode(int modeIndex);

// The name of the code sound file: every '*' written as 'X'.
std::string CodeSoundFilePath(const std::string& startupDir, std::string_view code,
                              const std::string& modeName);

// Sends one call on `tx`: keys, plays the optional pilot tone and the first
// five characters of `code` (fewer when the text is shorter; a character
// without a tone plays nothing) with the repeat rule, releases once the last
// sample has played, and with `generateSoundfiles` saves what it played.
// Returns the path of the sound file written, empty if none.
std::string SendCall(Transmission& tx, std::string_view code, const CallOptions& options);

// Sends calls straight on the devices it is given, on the caller's thread:
// writing a call to a file, and tests of the sound path. A station never
// does this: its calls are jobs of its transmit queue. `options` may be
// changed between calls.
class SequenceEncoder {
 public:
  // `tones` and `ptt` must outlive the encoder.
  SequenceEncoder(audio::ToneGenerator& tones, core::Transmitter& ptt, CallOptions options = {});

  void SendCall(std::string_view code);
  // The path of the last sound file written, empty if none.
  const std::string& LastSoundFile() const { return lastSoundFile_; }

  CallOptions options;

 private:
  audio::ToneGenerator& tones_;
  core::Transmitter& ptt_;
  AbortableWait pauses_;  // a call has none
  std::string lastSoundFile_;
};

}  // namespace sequelo::tx
