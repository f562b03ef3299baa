#include "tx/sequence_encoder.h"

#include <algorithm>

#include "audio/wave_file.h"

namespace sequelo::tx {

std::string CodeSoundFilePath(const std::string& startupDir, std::string_view code,
                              const std::string& modeName) {
  std::string name(code);
  for (char& c : name) {
    if (c == '*') {
      c = 'X';
    }
  }
  return startupDir + "/" + name + "_" + modeName + ".wav";
}

CallOptions CallOptionsForMode(int modeIndex) {
  CallOptions options;
  options.toneSet = core::BuiltInToneSet(modeIndex);
  if (options.toneSet != nullptr) {
    options.modeName = std::string(core::kModeNames[static_cast<std::size_t>(modeIndex)]);
  }
  return options;
}

namespace {

// The repeat rule: a character equal to the one before goes out as the
// repeat tone, unless the one before already did.
class RepeatRule {
 public:
  void SendDigitTone(Transmission& tx, char c, const core::ToneSet& toneSet) {
    if (c == previous_ && !repeatSent_) {
      tx.PlayTone(static_cast<std::uint32_t>(toneSet.repeatFreq), toneSet.toneMs);
      repeatSent_ = true;
      return;
    }
    if (const auto freq = core::ToneFrequency(toneSet, c)) {
      tx.PlayTone(static_cast<std::uint32_t>(*freq), toneSet.toneMs);
    }
    repeatSent_ = false;
    previous_ = c;
  }

 private:
  char previous_ = '\0';
  bool repeatSent_ = false;
};

}  // namespace

std::uint32_t CallSoundMs(const CallOptions& options) {
  const std::uint32_t toneMs = options.toneSet != nullptr ? options.toneSet->toneMs : 0;
  return (options.pilotTone ? options.pilotLenMs : 0) + 5 * toneMs;
}

std::string SendCall(Transmission& tx, std::string_view code, const CallOptions& options) {
  tx.SoundFile().Clear();
  tx.Key();  // not confirmed: the tones below play nothing
  if (options.pilotTone) {
    tx.PlayTone(options.pilotFreqHz, options.pilotLenMs);
  }
  // Five positions; a text that ends early plays only what it has.
  const std::string_view five = code.substr(0, std::min<std::size_t>(code.find('\0'), 5));
  if (options.toneSet != nullptr) {
    RepeatRule rule;
    for (char c : five) {
      rule.SendDigitTone(tx, c, *options.toneSet);
    }
  }
  // The transmitter is released only once the last sample has played.
  tx.Release();
  if (options.generateSoundfiles && !tx.Stopped()) {
    const std::string path = CodeSoundFilePath(options.startupDir, code, options.modeName);
    if (audio::WriteCodeSoundFile(tx.SoundFile(), path)) {
      return path;
    }
  }
  return {};
}

SequenceEncoder::SequenceEncoder(audio::ToneGenerator& tones, core::Transmitter& ptt,
                                 CallOptions callOptions)
    : options(std::move(callOptions)), tones_(tones), ptt_(ptt) {}

void SequenceEncoder::SendCall(std::string_view code) {
  Transmission tx(tones_, ptt_, pauses_);
  lastSoundFile_ = tx::SendCall(tx, code, options);
}

}  // namespace sequelo::tx
