// Sends one call over the air: keys the transmitter, plays the optional
// pilot tone and the five 70 ms tones with the repeat rule, waits until the
// last tone has played, releases, and optionally saves what it played as
// "<code with * as X>_<mode>.wav" in the start-up directory.
// Any thread; a call holds the transmit lock from start to end, so calls and
// other transmissions never overlap.
#pragma once

#include <string>
#include <string_view>

#include "audio/tone_generator.h"
#include "core/tone_set.h"
#include "core/transmitter.h"

namespace sequelo::tx {

inline constexpr std::uint32_t kCallToneMs = 70;

// What a call reads at the moment it is sent (the window's controls and the
// settings, as they are then).
struct CallOptions {
  const core::ToneSet* toneSet = nullptr;  // null: no tones (no mode chosen)
  bool pilotTone = false;
  std::uint32_t pilotFreqHz = 300;
  std::uint32_t pilotLenMs = 300;
  bool generateSoundfiles = false;
  std::string modeName;    // "ZVEI" or "DZVEI", for the sound file's name
  std::string startupDir;  // where sound files go
};

class CallOptionsSource {
 public:
  virtual ~CallOptionsSource() = default;
  virtual CallOptions CurrentCallOptions() = 0;
};

// Options fixed by the caller (sending from the command line, tests); they
// may be changed between calls.
class FixedCallOptions final : public CallOptionsSource {
 public:
  FixedCallOptions() = default;
  explicit FixedCallOptions(CallOptions fixed) : options(std::move(fixed)) {}
  CallOptions CurrentCallOptions() override { return options; }
  CallOptions options;
};

// The options of a built-in mode (tone set and mode name), nothing else on;
// no tone set for an index that is not a mode.
CallOptions CallOptionsForMode(int modeIndex);

// The name of the code sound file: every '*' written as 'X'.
std::string CodeSoundFilePath(const std::string& startupDir, std::string_view code,
                              const std::string& modeName);

class SequenceEncoder {
 public:
  // All three must outlive the encoder.
  SequenceEncoder(audio::ToneGenerator& tones, core::Transmitter& ptt, CallOptionsSource& options);

  // Sends the first five characters of `code` (fewer when the text is
  // shorter; a character without a tone plays nothing).
  void SendCall(std::string_view code);

  // One character with the repeat rule; `first` starts a call.
  void SendDigitTone(char c, bool first, const core::ToneSet& toneSet);

  // The path of the last sound file written, empty if none.
  const std::string& LastSoundFile() const { return lastSoundFile_; }

 private:
  audio::ToneGenerator& tones_;
  core::Transmitter& ptt_;
  CallOptionsSource& options_;
  // The repeat rule's memory: the character before, and whether it went out
  // as the repeat tone.
  char previous_ = '\0';
  bool repeatSent_ = false;
  std::string lastSoundFile_;
};

}  // namespace sequelo::tx
