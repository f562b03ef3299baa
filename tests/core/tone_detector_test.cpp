#include "core/tone_detector.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace sequelo::core {
namespace {

constexpr std::uint32_t kBufferMs = 21;  // a buffer lasts 21.33 ms

class Recorder final : public CodeHandler, public AnalysisLogWriter {
 public:
  void HandleReceivedCode(std::string_view code) override {
    codes.emplace_back(code);
    if (onCode) {
      onCode();
    }
  }
  void WriteAnalysisLine(std::string_view line) override { lines.emplace_back(line); }
  std::vector<std::string> codes;
  std::vector<std::string> lines;
  std::function<void()> onCode;
};

// Drives the detector with spectra built bin by bin, on a manual clock.
class DetectorTest : public ::testing::Test {
 protected:
  void Use(int mode) { toneSet_ = BuiltInToneSet(mode); }

  // A spectrum with `level` on `bin`, `second` on `otherBin` and a floor of 1.
  Spectrum Tone(int bin, double level, int otherBin = 0, double second = 0.0) const {
    Spectrum s;
    for (int k = 1; k <= kBinCount; ++k) {
      s.magnitude[static_cast<std::size_t>(k)] = 1.0;
    }
    if (bin > 0) {
      s.magnitude[static_cast<std::size_t>(bin)] = level;
    }
    if (otherBin > 0) {
      s.magnitude[static_cast<std::size_t>(otherBin)] = second;
    }
    LocateBandPeak(*toneSet_, s);
    return s;
  }

  void Feed(const Spectrum& s, std::uint32_t advanceMs = kBufferMs) {
    detector_.Process(s, *toneSet_, sinks_);
    clock_.Advance(advanceMs);
  }
  void FeedTone(int bin, int buffers = 3, double level = 500.0) {
    for (int i = 0; i < buffers; ++i) {
      Feed(Tone(bin, level));
    }
  }
  void FeedCall(std::initializer_list<int> bins) {
    for (int bin : bins) {
      FeedTone(bin);
    }
  }
  void FeedQuiet(int buffers) {
    for (int i = 0; i < buffers; ++i) {
      Feed(Tone(0, 0.0));
    }
  }

  const ToneSet* toneSet_ = BuiltInToneSet(kModeZvei);
  ManualTickClock clock_{1000};
  ToneDetector detector_{clock_};
  Recorder recorder_;
  DecoderSinks sinks_{nullptr, &recorder_, &recorder_};
};

TEST_F(DetectorTest, RepeatToneTakesTheCharacterBeforeIt) {
  FeedCall({11, 12, 27, 13, 15});  // 1 2 R 3 4
  EXPECT_EQ(recorder_.codes, std::vector<std::string>{"12234"});
}

TEST_F(DetectorTest, RepeatToneFirstStaysR) {
  FeedCall({27, 11, 12, 13, 15});
  EXPECT_EQ(recorder_.codes, std::vector<std::string>{"R1234"});
}

TEST_F(DetectorTest, DzveiRepeatToneInWidenedBand) {
  Use(kModeDzvei);
  FeedCall({10, 9, 10, 9, 10});  // 1 R 1 R 1
  FeedQuiet(5);
  FeedCall({10, 11, 9, 13, 14});  // 1 2 R 4 4
  EXPECT_EQ(recorder_.codes, (std::vector<std::string>{"11111", "12244"}));
}

TEST_F(DetectorTest, LongToneGivesOneCharacter) {
  FeedTone(12, 7);  // 140 ms
  EXPECT_EQ(detector_.StoredCount(), 1);
  EXPECT_GE(detector_.HitCount(12), 2);  // keeps counting while the tone lasts
}

TEST_F(DetectorTest, OneHitIsNotATone) {
  Feed(Tone(12, 500));
  Feed(Tone(13, 500));
  Feed(Tone(12, 500));
  EXPECT_EQ(detector_.StoredCount(), 0);
}

TEST_F(DetectorTest, PeakAlternatingBetweenNeighboursIsNeverAccepted) {
  for (int i = 0; i < 10; ++i) {
    Feed(Tone(i % 2 == 0 ? 15 : 16, 500));
  }
  EXPECT_EQ(detector_.StoredCount(), 0);
}

TEST_F(DetectorTest, SecondToneAtFortyPercentBlocksTheHit) {
  for (int i = 0; i < 3; ++i) {
    Feed(Tone(15, 500, 20, 200));  // 200 is not below 0.4 x 500
  }
  EXPECT_EQ(detector_.StoredCount(), 0);
  for (int i = 0; i < 3; ++i) {
    Feed(Tone(15, 500, 20, 199.99));
  }
  EXPECT_EQ(detector_.StoredCount(), 1);
  // The peak's neighbours are not tested.
  for (int i = 0; i < 3; ++i) {
    Feed(Tone(18, 500, 17, 499));
  }
  EXPECT_EQ(detector_.StoredCount(), 2);
}

TEST_F(DetectorTest, LevelAndProminenceAreStrict) {
  FeedTone(15, 3, 100.0);  // equal to the threshold: no hit
  EXPECT_EQ(detector_.StoredCount(), 0);
  FeedTone(15, 3, 100.01);
  EXPECT_EQ(detector_.StoredCount(), 1);
  // Prominence: peak must exceed 5 x mean. With a floor of 30 in 20 bins the
  // mean is (19 x 30 + p) / 32; p = 5 x mean gives p = 5 x 570 / 27 = 105.55...
  detector_.SetThreshold(1.0);
  auto flat = [&](double p) {
    Spectrum s = Tone(20, p);
    for (int k = s.bandFirst; k <= s.bandLast; ++k) {
      if (k != 20) {
        s.magnitude[static_cast<std::size_t>(k)] = 30.0;
      }
    }
    LocateBandPeak(*toneSet_, s);
    return s;
  };
  for (int i = 0; i < 3; ++i) {
    Feed(flat(105.0));
  }
  EXPECT_EQ(detector_.StoredCount(), 1);
  for (int i = 0; i < 3; ++i) {
    Feed(flat(106.0));
  }
  EXPECT_EQ(detector_.StoredCount(), 2);
}

TEST_F(DetectorTest, BandTestRejectsBinsOutsideTheWidenedBand) {
  Use(kModeDzvei);
  FeedTone(8, 4);  // 750 Hz: in the band bins, below 810 x 0.955
  EXPECT_EQ(detector_.StoredCount(), 0);
  Use(kModeZvei);
  FeedTone(30, 4);  // 2812 Hz < 2800 x 1.05
  EXPECT_EQ(detector_.StoredCount(), 1);
}

TEST_F(DetectorTest, NoToneSetAcceptsNothing) {
  const ToneSet none{};
  toneSet_ = &none;
  FeedTone(1, 5, 5000);
  EXPECT_EQ(detector_.StoredCount(), 0);
  EXPECT_FALSE(detector_.CycleActive());
}

TEST_F(DetectorTest, CalibrationSetsThresholdFromTheNextBuffer) {
  detector_.RequestCalibration();
  Feed(Tone(15, 400));
  EXPECT_DOUBLE_EQ(detector_.Threshold(), 600.0);
  EXPECT_EQ(detector_.HitCount(15), 0);  // the calibrating buffer is below its own threshold
  // Silence keeps calibration pending.
  detector_.SetThreshold(0.0);
  FeedQuiet(1);
  EXPECT_EQ(detector_.Threshold(), 1.5);  // the floor of 1 is the peak
  const ToneSet none{};
  detector_.SetThreshold(0.0);
  Spectrum silent;
  LocateBandPeak(none, silent);
  detector_.Process(silent, none, sinks_);
  EXPECT_EQ(detector_.Threshold(), 0.0);
}

TEST_F(DetectorTest, DeadTimeAfterACodeIs70Ms) {
  FeedCall({11, 12, 13, 15});
  Feed(Tone(16, 500));
  Feed(Tone(16, 500), 0);  // completes at this tick
  ASSERT_EQ(recorder_.codes.size(), 1U);
  clock_.Advance(70);
  Feed(Tone(18, 500), 0);
  EXPECT_EQ(detector_.HitCount(18), 0);
  EXPECT_FALSE(detector_.CycleActive());
  clock_.Advance(1);
  Feed(Tone(18, 500), 0);
  EXPECT_EQ(detector_.HitCount(18), 1);
  EXPECT_TRUE(detector_.CycleActive());
}

TEST_F(DetectorTest, DeadTimeCountsFromWhenTheHandlerReturns) {
  recorder_.onCode = [&] { clock_.Advance(1000); };  // e.g. an answer being sent
  FeedCall({11, 12, 13, 15, 16});
  ASSERT_EQ(recorder_.codes.size(), 1U);
  // 1000 ms have passed since the code, but only ~42 since the handler returned.
  Feed(Tone(18, 500));
  EXPECT_EQ(detector_.HitCount(18), 0);
}

TEST_F(DetectorTest, NoDeadTimeBeforeTheFirstCode) {
  clock_.Set(0);  // the audio clock of a file starts at 0
  FeedCall({11, 12, 13, 15, 16});
  EXPECT_EQ(recorder_.codes, std::vector<std::string>{"12345"});
}

TEST_F(DetectorTest, CycleTimesOutAfter450Ms) {
  detector_.SetAnalysisLog(true);
  FeedTone(11, 2, 500);  // first hit at 1000, accepted at 1021
  FeedQuiet(1);
  clock_.Set(1000 + 450);
  FeedQuiet(1);
  EXPECT_TRUE(detector_.CycleActive());
  clock_.Set(1000 + 451);
  FeedQuiet(1);
  EXPECT_FALSE(detector_.CycleActive());
  EXPECT_EQ(detector_.StoredCount(), 0);
  EXPECT_EQ(recorder_.lines.back(), "Evaluation timeout, starting new cycle");
}

TEST_F(DetectorTest, ElapsedTimeSurvivesTheTickWrap) {
  EXPECT_EQ(ElapsedMs(4294967000U, 200U), 496U);
  clock_.Set(4294967000U);
  FeedTone(11, 2, 500);
  clock_.Set(200);  // 496 ms later
  FeedQuiet(1);
  EXPECT_FALSE(detector_.CycleActive());
  EXPECT_EQ(detector_.StoredCount(), 0);
}

TEST_F(DetectorTest, FourTonesThenTimeoutThenAFreshCall) {
  FeedCall({11, 12, 13, 15});
  clock_.Advance(500);
  FeedQuiet(1);
  EXPECT_EQ(detector_.StoredCount(), 0);
  FeedCall({20, 21, 22, 23, 25});
  EXPECT_EQ(recorder_.codes, std::vector<std::string>{"78890"});
}

TEST_F(DetectorTest, AnalysisLinesInTheirFormats) {
  detector_.SetAnalysisLog(true);
  FeedTone(15, 2, 500);
  ASSERT_EQ(recorder_.lines.size(), 5U);
  // Floor of 1 in 19 bins: mean = (19 + 500) / 32 = 16.22
  EXPECT_EQ(recorder_.lines[0],
            "Buffer evaluation: f=1406, p=  500.0, avg=   16.2 (30.8x), single tone condition");
  EXPECT_EQ(recorder_.lines[1], "Tone hit #1 detected");
  EXPECT_EQ(recorder_.lines[3], "Tone hit #2 detected");
  EXPECT_EQ(recorder_.lines[4], "Tone accepted as digit #1");
  recorder_.lines.clear();
  Feed(Tone(15, 500, 20, 300));
  EXPECT_EQ(
      recorder_.lines,
      std::vector<std::string>{
          "Buffer evaluation: f=1406, p=  500.0, avg=   25.6 (19.6x), no single tone condition"});
  // Off: nothing is written; below threshold: no evaluation line.
  recorder_.lines.clear();
  FeedTone(15, 1, 50);
  EXPECT_TRUE(recorder_.lines.empty());
  detector_.SetAnalysisLog(false);
  FeedTone(18, 3, 500);
  EXPECT_TRUE(recorder_.lines.empty());
}

TEST_F(DetectorTest, DigitalSilenceIsNeverAHitNorALine) {
  detector_.SetAnalysisLog(true);
  detector_.SetThreshold(0.0);
  Spectrum silent;
  LocateBandPeak(*toneSet_, silent);
  for (int i = 0; i < 50; ++i) {
    Feed(silent);
  }
  EXPECT_TRUE(recorder_.lines.empty());
  EXPECT_FALSE(detector_.CycleActive());
}

}  // namespace
}  // namespace sequelo::core
