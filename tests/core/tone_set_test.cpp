#include "core/tone_set.h"

#include <algorithm>
#include <vector>

#include <gtest/gtest.h>

#include <string>

#include "core/buffer_analysis.h"

namespace sequelo::core {
namespace {

const ToneSet& Zvei() {
  return *BuiltInToneSet(kModeZvei);
}
const ToneSet& Dzvei() {
  return *BuiltInToneSet(kModeDzvei);
}

struct ClassifyCase {
  int mode;
  std::int32_t hz;
  char expected;
};

void PrintTo(const ClassifyCase& c, std::ostream* os) {
  *os << kModeNames[static_cast<std::size_t>(c.mode)] << " " << c.hz << " Hz -> '" << c.expected
      << "'";
}

class ClassifyToneTest : public ::testing::TestWithParam<ClassifyCase> {};

TEST_P(ClassifyToneTest, GivesFirstMatchInTestOrder) {
  const auto& c = GetParam();
  EXPECT_EQ(ClassifyTone(*BuiltInToneSet(c.mode), c.hz), c.expected) << c.hz << " Hz";
}

INSTANTIATE_TEST_SUITE_P(Boundaries, ClassifyToneTest,
                         ::testing::Values(
                             // 1060 x 0.95 is exactly 1007 and the bound is strict.
                             ClassifyCase{kModeZvei, 1007, '.'}, ClassifyCase{kModeZvei, 1008, '1'},
                             // 1113 is the exclusive upper bound of '1' but inside '2'.
                             ClassifyCase{kModeZvei, 1112, '1'}, ClassifyCase{kModeZvei, 1113, '2'},
                             // Inside both '1' and '2': the first tested wins.
                             ClassifyCase{kModeZvei, 1100, '1'}, ClassifyCase{kModeZvei, 1312, '3'},
                             ClassifyCase{kModeZvei, 2906, '*'}, ClassifyCase{kModeZvei, 937, '.'},
                             ClassifyCase{kModeZvei, 2531, 'R'}, ClassifyCase{kModeZvei, 2625, 'R'},
                             ClassifyCase{kModeZvei, 0, '.'}, ClassifyCase{kModeZvei, -1060, '.'},
                             // 810 x 1.045 = 846.45
                             ClassifyCase{kModeDzvei, 843, 'R'}, ClassifyCase{kModeDzvei, 846, 'R'},
                             ClassifyCase{kModeDzvei, 847, '.'}, ClassifyCase{kModeDzvei, 937, '1'},
                             ClassifyCase{kModeDzvei, 2531, '.'},
                             ClassifyCase{kModeDzvei, 2437, '*'}),
                         [](const ::testing::TestParamInfo<ClassifyCase>& p) {
                           return std::string(kModeNames[static_cast<std::size_t>(p.param.mode)]) +
                                  "_" +
                                  (p.param.hz < 0 ? "minus" + std::to_string(-p.param.hz)
                                                  : std::to_string(p.param.hz));
                         });

// What every bin of the detection band classifies as: the decoder only ever
// passes bin frequencies (bin x 93.75 Hz, truncated).
TEST(ClassifyTone, BinTableOfBothToneSets) {
  const std::string zvei = "1233455677889900RR*";  // bins 11..29 (30 checked below)
  for (int bin = 11; bin <= 29; ++bin) {
    const auto hz = static_cast<std::int32_t>(bin * BinWidth);
    EXPECT_EQ(ClassifyTone(Zvei(), hz), zvei[static_cast<std::size_t>(bin - 11)]) << "bin " << bin;
  }
  EXPECT_EQ(ClassifyTone(Zvei(), 2812), '*');
  const std::string dzvei = "R123445667889900**";  // bins 9..26 (+ bin 8 outside)
  for (int bin = 9; bin <= 26; ++bin) {
    const auto hz = static_cast<std::int32_t>(bin * BinWidth);
    EXPECT_EQ(ClassifyTone(Dzvei(), hz), dzvei[static_cast<std::size_t>(bin - 9)]) << "bin " << bin;
  }
  EXPECT_EQ(ClassifyTone(Dzvei(), 750), '.');
}

TEST(ToneFrequency, DigitsAndStarOnly) {
  EXPECT_EQ(ToneFrequency(Zvei(), '1'), 1060);
  EXPECT_EQ(ToneFrequency(Zvei(), '0'), 2400);
  EXPECT_EQ(ToneFrequency(Zvei(), '*'), 2800);
  EXPECT_EQ(ToneFrequency(Dzvei(), '1'), 970);
  EXPECT_EQ(ToneFrequency(Dzvei(), '*'), 2400);
  EXPECT_FALSE(ToneFrequency(Zvei(), 'X').has_value());
  EXPECT_FALSE(ToneFrequency(Zvei(), 'R').has_value());
  EXPECT_FALSE(ToneFrequency(Zvei(), '\0').has_value());
}

TEST(MatchCode, WildcardOnlyInReceivedCode) {
  EXPECT_TRUE(MatchCode("12*45", "12345"));
  EXPECT_FALSE(MatchCode("12345", "12*45"));
  EXPECT_TRUE(MatchCode("*****", "98765"));
  EXPECT_TRUE(MatchCode("12345", "12345"));
  EXPECT_FALSE(MatchCode("12346", "12345"));
  EXPECT_FALSE(MatchCode("1234", "1234"));
  EXPECT_FALSE(MatchCode("12345", "123456"));
  EXPECT_FALSE(MatchCode("", ""));
  // Texts end at their first NUL, as the C strings they stand for.
  EXPECT_TRUE(MatchCode(std::string_view("12345\0xx", 8), "12345"));
  EXPECT_FALSE(MatchCode(std::string_view("123\0005", 5), "12305"));
}

TEST(IsCallCode, FiveDigitsOrStars) {
  EXPECT_TRUE(IsCallCode("12345"));
  EXPECT_TRUE(IsCallCode("1*3*5"));
  EXPECT_TRUE(IsCallCode("*****"));
  EXPECT_FALSE(IsCallCode("1234"));
  EXPECT_FALSE(IsCallCode("123456"));
  EXPECT_FALSE(IsCallCode("12a45"));
  EXPECT_FALSE(IsCallCode("R2345"));
  EXPECT_FALSE(IsCallCode("12.45"));
  EXPECT_FALSE(IsCallCode(""));
  EXPECT_FALSE(IsCallCode(std::string_view("12\00045", 5)));
}

TEST(SelectToneSet, CopiesTheColumnOrKeepsTheSetForNoSelection) {
  ToneSet current{};
  EXPECT_FALSE(SelectToneSet(current, -1));
  EXPECT_EQ(current.bandLow, 0);  // every field stays zero
  ASSERT_TRUE(SelectToneSet(current, kModeDzvei));
  EXPECT_EQ(current.repeatFreq, 810);
  EXPECT_DOUBLE_EQ(current.tolerance, 0.045);
  EXPECT_FALSE(SelectToneSet(current, static_cast<int>(kModeNames.size())));
  EXPECT_EQ(current.repeatFreq, 810);  // unchanged
  ASSERT_TRUE(SelectToneSet(current, kModeZvei));
  EXPECT_EQ(current.digitFreq[1], 1060);
  EXPECT_EQ(current.bandHigh, 2800);
  EXPECT_EQ(ModeIndexFromName("dzvei"), kModeDzvei);
  EXPECT_EQ(ModeIndexFromName("ZVEI"), kModeZvei);
  EXPECT_EQ(ModeIndexFromName("zvei1"), kModeZvei);
  EXPECT_EQ(ModeIndexFromName("ccir"), kModeCcir);
  EXPECT_EQ(ModeIndexFromName("CCIR1"), -1);
  EXPECT_EQ(ModeDisplayName(kModeZvei, "zvei1"), "ZVEI1");
  EXPECT_EQ(ModeDisplayName(kModeZvei, "zvei"), "ZVEI");
  EXPECT_EQ(ModeDisplayName(kModeEia, "eia"), "EIA");
}

// Every set's tones are apart from each other by more than twice the
// decoders' offset range (+/-3 %) plus the tone's own width, so no two
// characters of one set can be taken for each other; and each set keeps
// the stored index it was given.
TEST(BuiltInToneSets, TonesOfOneSetAreDistinctAndIndicesStable) {
  for (int mode = 0; mode < static_cast<int>(kModeNames.size()); ++mode) {
    const ToneSet* set = BuiltInToneSet(mode);
    ASSERT_NE(set, nullptr) << mode;
    std::vector<double> hz(set->digitFreq.begin(), set->digitFreq.end());
    hz.push_back(set->starFreq);
    hz.push_back(set->repeatFreq);
    for (const auto special : set->specialFreq) {
      if (special > 0) {
        hz.push_back(special);
      }
    }
    std::sort(hz.begin(), hz.end());
    for (std::size_t i = 1; i < hz.size(); ++i) {
      EXPECT_GT(hz[i] / hz[i - 1], 1.015) << kModeNames[static_cast<std::size_t>(mode)] << " "
                                          << hz[i - 1] << " and " << hz[i] << " Hz";
    }
    EXPECT_EQ(ModeIndexFromName(kModeNames[static_cast<std::size_t>(mode)]), mode);
  }
  EXPECT_EQ(BuiltInToneSet(kModeCcir)->toneMs, 100U);
  EXPECT_EQ(BuiltInToneSet(kModeEea)->toneMs, 40U);
  EXPECT_EQ(BuiltInToneSet(kModeEia)->toneMs, 33U);
  EXPECT_EQ(BuiltInToneSet(kModeZvei)->toneMs, 70U);
}

std::string TonesAsText(const ToneSet& set, const std::string& code) {
  std::array<std::int32_t, 5> tones{};
  const int count = CallTones(set, code, tones);
  std::string text;
  for (int i = 0; i < count; ++i) {
    const auto hz = tones[static_cast<std::size_t>(i)];
    text.push_back(hz == set.repeatFreq ? 'R' : ClassifyTone(set, hz));
  }
  return text;
}

TEST(CallTones, RepeatRuleAlternatesInRuns) {
  EXPECT_EQ(TonesAsText(Zvei(), "12345"), "12345");
  EXPECT_EQ(TonesAsText(Zvei(), "11111"), "1R1R1");
  EXPECT_EQ(TonesAsText(Zvei(), "11211"), "1R21R");
  EXPECT_EQ(TonesAsText(Zvei(), "12222"), "12R2R");
  EXPECT_EQ(TonesAsText(Zvei(), "1*1**"), "1*1*R");
  EXPECT_EQ(TonesAsText(Dzvei(), "00000"), "0R0R0");
  // Only five positions; a character without a tone plays nothing and breaks a run.
  EXPECT_EQ(TonesAsText(Zvei(), "1234567"), "12345");
  EXPECT_EQ(TonesAsText(Zvei(), "1X1"), "11");
}

TEST(DetectionBand, WidenedToTakeInTheRepeatToneOnly) {
  EXPECT_EQ(DetectionLowHz(Zvei()), 1060);
  EXPECT_EQ(DetectionHighHz(Zvei()), 2800);
  EXPECT_EQ(DetectionLowHz(Dzvei()), 810);
  EXPECT_EQ(DetectionHighHz(Dzvei()), 2400);
  ToneSet noRepeat = Zvei();
  noRepeat.repeatFreq = 0;
  EXPECT_EQ(DetectionLowHz(noRepeat), 1060);
}

}  // namespace
}  // namespace sequelo::core
