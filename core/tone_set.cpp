#include "core/tone_set.h"

#include <algorithm>
#include <cctype>

namespace sequelo::core {
namespace {

// The published tables name sixteen tones per set: '0'..'9' and 'A'..'F'.
// Here 'A' is '*' (the group tone) and one letter is the repeat tone; the
// others are special tones. The standard decoder knows
// ZVEI and DZVEI only, whose tolerance and band it uses; the tolerance of the
// others is half their closest spacing, for ClassifyTone.
constexpr std::array<std::int32_t, 10> kZveiDigits{2400, 1060, 1160, 1270, 1400,
                                                   1530, 1670, 1830, 2000, 2200};
constexpr std::array<std::int32_t, 10> kCcirDigits{1981, 1124, 1197, 1275, 1358,
                                                   1446, 1540, 1640, 1747, 1860};
// ZVEI1: A 2800, B 810, C 970, D 885, E 2600 (repeat), F 680.
constexpr ToneSet kZvei{kZveiDigits,          2800, 2600, 0.05, 1060, 2800, {810, 970, 885, 680},
                        {'B', 'C', 'D', 'F'}, 70};
// DZVEI as it has always been: its own repeat tone and no special tones.
constexpr ToneSet kDzvei{{2200, 970, 1060, 1160, 1270, 1400, 1530, 1670, 1830, 2000},
                         2400,
                         810,
                         0.045,
                         970,
                         2400,
                         {},
                         {},
                         70};
// ZVEI2: A 885, B 825, C 740, D 680, E 970, F 2600 (repeat).
constexpr ToneSet kZvei2{kZveiDigits,          885, 2600, 0.04, 885, 2400, {825, 740, 680, 970},
                         {'B', 'C', 'D', 'E'}, 70,  true};
// ZVEI3 as multimon-ng knows it: A 885, B 810, C 2800, D 680, E 970,
// F 2600 (repeat).
constexpr ToneSet kZvei3{kZveiDigits,          885, 2600, 0.04, 885, 2400, {810, 2800, 680, 970},
                         {'B', 'C', 'D', 'E'}, 70,  true};
// PZVEI: A 970, B 810, C 2800, D 885, E 2600 (repeat), F 680; 100 ms.
constexpr ToneSet kPzvei{kZveiDigits,          970, 2600, 0.04, 970, 2400, {810, 2800, 885, 680},
                         {'B', 'C', 'D', 'F'}, 100, true};
// CCIR: A 2400, B 930, C 2247, D 991, E 2110 (repeat), F 1055; 100 ms.
constexpr ToneSet kCcir{kCcirDigits,          2400, 2110, 0.025, 1124, 2400, {930, 2247, 991, 1055},
                        {'B', 'C', 'D', 'F'}, 100,  true};
// EEA: CCIR's digits; A 1055, B 930, C 2400, D 991, E 2110 (repeat),
// F 2247; 40 ms.
constexpr ToneSet kEea{kCcirDigits,          1055, 2110, 0.025, 1055, 1981, {930, 2400, 991, 2247},
                       {'B', 'C', 'D', 'F'}, 40,   true};
// EIA: A 2151, B 2433, C 2010, D 2292, E 459 (repeat), F 1091; 33 ms.
constexpr ToneSet kEia{{600, 741, 882, 1023, 1164, 1305, 1446, 1587, 1728, 1869},
                       2151,
                       459,
                       0.035,
                       600,
                       2151,
                       {2433, 2010, 2292, 1091},
                       {'B', 'C', 'D', 'F'},
                       33,
                       true};

constexpr std::array<const ToneSet*, kModeNames.size()> kToneSets{
    &kZvei, &kDzvei, &kZvei2, &kZvei3, &kPzvei, &kCcir, &kEea, &kEia};

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) ==
                  std::toupper(static_cast<unsigned char>(y));
         });
}

std::string_view UpToNul(std::string_view text) {
  const auto nul = text.find('\0');
  return nul == std::string_view::npos ? text : text.substr(0, nul);
}

}  // namespace

std::string_view ModeNameList() {
  return "ZVEI (or ZVEI1), DZVEI, ZVEI2, ZVEI3, PZVEI, CCIR, EEA, EIA";
}

const ToneSet* BuiltInToneSet(int modeIndex) {
  if (modeIndex < 0 || modeIndex >= static_cast<int>(kToneSets.size())) {
    return nullptr;
  }
  return kToneSets[static_cast<std::size_t>(modeIndex)];
}

int ModeIndexFromName(std::string_view name) {
  if (SameName(name, kZveiAlias)) {
    return kModeZvei;
  }
  for (std::size_t i = 0; i < kModeNames.size(); ++i) {
    if (SameName(kModeNames[i], name)) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

std::string_view ModeDisplayName(int modeIndex, std::string_view givenName) {
  if (modeIndex < 0 || modeIndex >= static_cast<int>(kModeNames.size())) {
    return {};
  }
  if (modeIndex == kModeZvei && SameName(givenName, kZveiAlias)) {
    return kZveiAlias;
  }
  return kModeNames[static_cast<std::size_t>(modeIndex)];
}

bool SelectToneSet(ToneSet& current, int modeIndex) {
  const ToneSet* chosen = BuiltInToneSet(modeIndex);
  if (chosen == nullptr) {
    return false;
  }
  current = *chosen;
  return true;
}

bool InTolerance(const ToneSet& toneSet, std::int32_t referenceHz, std::int32_t measuredHz) {
  const double lowFactor = 1.0 - toneSet.tolerance;
  const double highFactor = 1.0 + toneSet.tolerance;
  const double low = lowFactor * referenceHz;
  const double high = highFactor * referenceHz;
  return low < measuredHz && measuredHz < high;
}

char ClassifyTone(const ToneSet& toneSet, std::int32_t freqHz) {
  static constexpr std::string_view kOrder = "1234567890";
  for (char c : kOrder) {
    if (InTolerance(toneSet, toneSet.digitFreq[static_cast<std::size_t>(c - '0')], freqHz)) {
      return c;
    }
  }
  if (InTolerance(toneSet, toneSet.starFreq, freqHz)) {
    return '*';
  }
  if (InTolerance(toneSet, toneSet.repeatFreq, freqHz)) {
    return 'R';
  }
  return '.';
}

std::optional<std::int32_t> ToneFrequency(const ToneSet& toneSet, char c) {
  if (c >= '0' && c <= '9') {
    return toneSet.digitFreq[static_cast<std::size_t>(c - '0')];
  }
  if (c == '*') {
    return toneSet.starFreq;
  }
  return std::nullopt;
}

namespace {

// The repeat rule over `text`, into `tonesHz` (room for text.size() tones).
// With `specials`, the set's special letters go out as their tones and end
// a run of equal characters.
int RepeatRuleTones(const ToneSet& toneSet, std::string_view text, bool specials,
                    std::int32_t* tonesHz) {
  int count = 0;
  char previous = '\0';
  bool repeatSent = false;
  for (char c : text) {
    const auto letter = std::find(toneSet.specialLetter.begin(), toneSet.specialLetter.end(), c);
    const std::size_t special = static_cast<std::size_t>(letter - toneSet.specialLetter.begin());
    if (specials && letter != toneSet.specialLetter.end() && toneSet.specialFreq[special] > 0) {
      tonesHz[count++] = toneSet.specialFreq[special];
      previous = '\0';
      repeatSent = false;
      continue;
    }
    if (c == previous && !repeatSent) {
      tonesHz[count++] = toneSet.repeatFreq;
      repeatSent = true;
      continue;
    }
    if (const auto freq = ToneFrequency(toneSet, c)) {
      tonesHz[count++] = *freq;
    }
    repeatSent = false;
    previous = c;
  }
  return count;
}

}  // namespace

int CallTones(const ToneSet& toneSet, std::string_view code, std::array<std::int32_t, 5>& tonesHz) {
  return RepeatRuleTones(toneSet, UpToNul(code).substr(0, 5), false, tonesHz.data());
}

int SequenceTones(const ToneSet& toneSet, std::string_view text,
                  std::array<std::int32_t, kMaxSequenceTones>& tonesHz) {
  return RepeatRuleTones(toneSet, UpToNul(text).substr(0, kMaxSequenceTones), true, tonesHz.data());
}

// A tone set without a repeat tone (frequency 0) keeps its band as it is.
std::int32_t DetectionLowHz(const ToneSet& toneSet) {
  return toneSet.repeatFreq > 0 ? std::min(toneSet.bandLow, toneSet.repeatFreq) : toneSet.bandLow;
}

std::int32_t DetectionHighHz(const ToneSet& toneSet) {
  return toneSet.repeatFreq > 0 ? std::max(toneSet.bandHigh, toneSet.repeatFreq) : toneSet.bandHigh;
}

bool MatchCode(std::string_view received, std::string_view configured) {
  received = UpToNul(received);
  configured = UpToNul(configured);
  if (received.size() != 5 || configured.size() != 5) {
    return false;
  }
  for (std::size_t i = 0; i < 5; ++i) {
    if (received[i] != configured[i] && received[i] != '*') {
      return false;
    }
  }
  return true;
}

std::string_view CalledCode(std::string_view received) {
  return UpToNul(received).substr(0, 5);
}

std::string_view CallerCode(std::string_view received) {
  received = UpToNul(received);
  const auto isCodeChar = [](char c) { return (c >= '0' && c <= '9') || c == '*'; };
  if (received.size() != 11 || isCodeChar(received[5])) {
    return {};
  }
  const std::string_view caller = received.substr(6);
  return std::all_of(caller.begin(), caller.end(), isCodeChar) ? caller : std::string_view{};
}

bool IsCallCode(std::string_view text) {
  text = UpToNul(text);
  return text.size() == 5 && std::all_of(text.begin(), text.end(),
                                         [](char c) { return (c >= '0' && c <= '9') || c == '*'; });
}

}  // namespace sequelo::core
