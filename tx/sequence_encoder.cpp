#include "tx/sequence_encoder.h"

#include <mutex>

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

SequenceEncoder::SequenceEncoder(audio::ToneGenerator& tones, core::Transmitter& ptt,
                                 CallOptionsSource& options)
    : tones_(tones), ptt_(ptt), options_(options) {}

void SequenceEncoder::SendDigitTone(char c, bool first, const core::ToneSet& toneSet) {
  if (first) {
    previous_ = '\0';
  }
  if (c == previous_ && !repeatSent_) {
    tones_.PlayTone(static_cast<std::uint32_t>(toneSet.repeatFreq), kCallToneMs);
    repeatSent_ = true;
    return;
  }
  if (const auto freq = core::ToneFrequency(toneSet, c)) {
    tones_.PlayTone(static_cast<std::uint32_t>(*freq), kCallToneMs);
  }
  repeatSent_ = false;
  previous_ = c;
}

void SequenceEncoder::SendCall(std::string_view code) {
  std::lock_guard lock(tones_.TransmitLock());
  const CallOptions options = options_.CurrentCallOptions();
  lastSoundFile_.clear();
  tones_.SoundFile().Clear();
  ptt_.KeyTransmitter();
  if (options.pilotTone) {
    tones_.PlayTone(options.pilotFreqHz, options.pilotLenMs);
  }
  // Five positions; a text that ends early plays only what it has.
  const std::string_view five = code.substr(0, std::min<std::size_t>(code.find('\0'), 5));
  if (options.toneSet != nullptr) {
    for (std::size_t i = 0; i < five.size(); ++i) {
      SendDigitTone(five[i], i == 0, *options.toneSet);
    }
  }
  // The transmitter is released only once the last sample has played.
  tones_.DrainTransmit();
  ptt_.ReleaseTransmitter();
  if (options.generateSoundfiles) {
    const std::string path = CodeSoundFilePath(options.startupDir, code, options.modeName);
    if (audio::WriteCodeSoundFile(tones_.SoundFile(), path)) {
      lastSoundFile_ = path;
    }
  }
}

}  // namespace sequelo::tx
