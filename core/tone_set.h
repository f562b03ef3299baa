// Tone sets and call codes: the signalling alphabet shared by the decoder and
// the encoder. Pure functions over a ToneSet record; no state of their own.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace sequelo::core {

// One tone set: the frequencies of the code characters and the repeat tone,
// the relative tolerance used when classifying, and the band in which the
// decoder looks for tones. A tone set is data: one decoder and one encoder
// serve every tone set.
struct ToneSet {
  std::array<std::int32_t, 10> digitFreq{};  // Hz of '0'..'9', indexed by the digit's value
  std::int32_t starFreq = 0;                 // Hz of '*' (the published tables' 'A')
  std::int32_t repeatFreq = 0;  // Hz of the repeat tone (sent for a repeated character)
  double tolerance = 0.0;       // relative, e.g. 0.05 for +/-5 %
  std::int32_t bandLow = 0;     // Hz, lower edge of the highlighted tone band
  std::int32_t bandHigh = 0;    // Hz, upper edge of the highlighted tone band
  // The special tones beyond '*' and the repeat tone (group and separator
  // tones of the published tables): Hz (0 where the set has none) and the
  // letter each is known by. A separator between two codes is one of them.
  std::array<std::int32_t, 4> specialFreq{};
  std::array<char, 4> specialLetter{'B', 'C', 'D', 'F'};
  std::uint32_t toneMs = 70;  // the set's standard tone length
  // The standard decoder's bins and tolerance do not separate this set's
  // tones (every set but ZVEI and DZVEI): the enhanced decoder decodes it.
  bool enhancedOnly = false;
};

// Position of each tone set in the mode list; the settings file stores it.
// 0 and 1 are the sets the program began with; the others follow.
inline constexpr int kModeZvei = 0;
inline constexpr int kModeDzvei = 1;
inline constexpr int kModeZvei2 = 2;
inline constexpr int kModeZvei3 = 3;
inline constexpr int kModePzvei = 4;
inline constexpr int kModeCcir = 5;
inline constexpr int kModeEea = 6;
inline constexpr int kModeEia = 7;
inline constexpr std::array<std::string_view, 8> kModeNames{"ZVEI",  "DZVEI", "ZVEI2", "ZVEI3",
                                                            "PZVEI", "CCIR",  "EEA",   "EIA"};
// Another name of ZVEI, the first of the ZVEI family.
inline constexpr std::string_view kZveiAlias = "ZVEI1";
// The mode names as a list for messages and help: "ZVEI (or ZVEI1), DZVEI, ...".
std::string_view ModeNameList();

// The built-in tone set at a mode-list index, or nullptr for any other index.
const ToneSet* BuiltInToneSet(int modeIndex);

// Mode-list index of a mode name (one of kModeNames, or ZVEI1 for ZVEI;
// case-insensitive), or -1.
int ModeIndexFromName(std::string_view name);

// The name of a mode as the operator chose it: kModeNames[modeIndex], or
// ZVEI1 when that was the name given. Empty for an index that is not a mode.
std::string_view ModeDisplayName(int modeIndex, std::string_view givenName);

// Overwrites `current` with the tone set at `modeIndex`. Any other index (no
// selection in the mode list) leaves every field unchanged and returns false.
bool SelectToneSet(ToneSet& current, int modeIndex);

// True if reference*(1-tolerance) < measured < reference*(1+tolerance), both
// bounds strict, the factor formed first and then multiplied in double.
bool InTolerance(const ToneSet& toneSet, std::int32_t referenceHz, std::int32_t measuredHz);

// Character of the first tone within tolerance of `freqHz`, testing '1'..'9',
// '0', '*' and then the repeat tone ('R'); '.' when none matches. Neighbouring
// ranges overlap, so the order decides. The special tones are not tested:
// the enhanced decoder tells them apart.
char ClassifyTone(const ToneSet& toneSet, std::int32_t freqHz);

// Tone frequency of '0'..'9' or '*'; none for any other character. No
// character selects the repeat tone: the encoder's repeat rule does.
std::optional<std::int32_t> ToneFrequency(const ToneSet& toneSet, char c);

// The tones that send a code, in order, with the repeat rule: a character
// equal to the one before it goes out as the repeat tone, unless that one
// itself went out as the repeat tone (so a run alternates own tone and repeat
// tone). Only the first five characters count; a character without a tone
// plays nothing and breaks a run. Returns the number of tones written.
int CallTones(const ToneSet& toneSet, std::string_view code, std::array<std::int32_t, 5>& tonesHz);

// The longest sequence of tones sent or received as one.
inline constexpr int kMaxSequenceTones = 16;

// The tones of a sequence of up to kMaxSequenceTones characters (a called
// code, a separator and the caller's code, for instance): '0'..'9' and '*'
// with the repeat rule as in CallTones, and the set's special letters as
// their own tones (a special tone ends a run of equal characters, so the
// code after a separator starts afresh). A character without a tone in the
// set plays nothing. Returns the number of tones written.
int SequenceTones(const ToneSet& toneSet, std::string_view text,
                  std::array<std::int32_t, kMaxSequenceTones>& tonesHz);

// Lowest and highest frequency the decoder must look at: the band widened to
// take in the repeat tone where it lies outside (810 Hz in DZVEI lies below
// its band, and a call with two equal neighbouring characters carries it).
std::int32_t DetectionLowHz(const ToneSet& toneSet);
std::int32_t DetectionHighHz(const ToneSet& toneSet);

// Texts are taken up to their first NUL, as the C strings they were.
// True if both are exactly five characters and each received character equals
// the configured one or is '*' (only the received code carries the wildcard).
bool MatchCode(std::string_view received, std::string_view configured);

// What a received sequence says: its called code (the first five
// characters; the whole of a shorter run), and for the called code +
// separator + caller's code format (eleven characters, a special letter
// sixth) the caller's code, empty otherwise.
std::string_view CalledCode(std::string_view received);
std::string_view CallerCode(std::string_view received);

// True if the text is exactly five characters, each '0'..'9' or '*'.
bool IsCallCode(std::string_view text);

}  // namespace sequelo::core
