#include "core/tone_set.h"

#include <algorithm>
#include <cctype>

namespace sequelo::core {
namespace {

constexpr ToneSet kZvei{
    {2400, 1060, 1160, 1270, 1400, 1530, 1670, 1830, 2000, 2200}, 2800, 2600, 0.05, 1060, 2800};
constexpr ToneSet kDzvei{
    {2200, 970, 1060, 1160, 1270, 1400, 1530, 1670, 1830, 2000}, 2400, 810, 0.045, 970, 2400};

std::string_view UpToNul(std::string_view text) {
  const auto nul = text.find('\0');
  return nul == std::string_view::npos ? text : text.substr(0, nul);
}

}  // namespace

const ToneSet* BuiltInToneSet(int modeIndex) {
  switch (modeIndex) {
    case kModeZvei:
      return &kZvei;
    case kModeDzvei:
      return &kDzvei;
    default:
      return nullptr;
  }
}

int ModeIndexFromName(std::string_view name) {
  for (std::size_t i = 0; i < kModeNames.size(); ++i) {
    const auto candidate = kModeNames[i];
    if (candidate.size() == name.size() &&
        std::equal(candidate.begin(), candidate.end(), name.begin(), [](char a, char b) {
          return std::toupper(static_cast<unsigned char>(a)) ==
                 std::toupper(static_cast<unsigned char>(b));
        })) {
      return static_cast<int>(i);
    }
  }
  return -1;
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

int CallTones(const ToneSet& toneSet, std::string_view code, std::array<std::int32_t, 5>& tonesHz) {
  code = UpToNul(code).substr(0, 5);
  int count = 0;
  char previous = '\0';
  bool repeatSent = false;
  for (char c : code) {
    if (c == previous && !repeatSent) {
      tonesHz[static_cast<std::size_t>(count++)] = toneSet.repeatFreq;
      repeatSent = true;
      continue;
    }
    if (const auto freq = ToneFrequency(toneSet, c)) {
      tonesHz[static_cast<std::size_t>(count++)] = *freq;
    }
    repeatSent = false;
    previous = c;
  }
  return count;
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

bool IsCallCode(std::string_view text) {
  text = UpToNul(text);
  return text.size() == 5 && std::all_of(text.begin(), text.end(),
                                         [](char c) { return (c >= '0' && c <= '9') || c == '*'; });
}

}  // namespace sequelo::core
