// Tests of the program's wave files on real files in a temporary directory:
// the bytes written, what the checker and the player accept and refuse, what
// reaches the devices and the transmitter and in which order, and that broken
// or hostile files never crash either reader. One test thread.
#include "audio/wave_file.h"

#include <gtest/gtest.h>
#include <limits.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fake_playback.h"
#include "tests/support/fakes.h"
#include "tests/support/temp_dir.h"
#include "tx/transmission.h"
#include "tx/wave_send.h"

namespace sequelo::audio {
namespace {

using testsupport::FakeMessageSink;
using testsupport::PlaybackEventLog;
using testsupport::RecordingAudioBackend;
using testsupport::RecordingPlayback;
using testsupport::RecordingTransmitter;
using testsupport::ScopedTempDir;

using Bytes = std::vector<std::uint8_t>;
using Samples = std::vector<std::int16_t>;

const std::string kNotSupported = "Sequelo: File format not supported.";

void Put16(Bytes& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v & 0xFF));
  out.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
}
void Put32(Bytes& out, std::uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}
void PutText(Bytes& out, const std::string& text) {
  out.insert(out.end(), text.begin(), text.end());
}

// A wave file, field by field, so a test can break any one of them.
struct WaveSpec {
  std::string riff = "RIFF";
  std::uint32_t riffSize = 0;  // 0: the true size
  std::string wave = "WAVE";
  std::string fmt = "fmt ";
  std::uint32_t formatSize = 16;
  std::uint32_t formatTag = 1;
  std::uint32_t channels = 1;
  std::uint32_t rate = 11025;
  std::uint32_t avgBytes = 22050;
  std::uint32_t blockAlign = 2;
  std::uint32_t bits = 16;
  std::uint32_t extensionSize = 0;  // written only when the chunk is 18 bytes or more
  Bytes between{};                  // bytes between the format chunk and "data"
  std::string data = "data";
  std::uint32_t dataSize = 0;  // 0: the true size
  Samples samples{};
  Bytes trailing{};  // after the samples
};

Bytes Build(const WaveSpec& s) {
  Bytes body;
  Put16(body, s.formatTag);
  Put16(body, s.channels);
  Put32(body, s.rate);
  Put32(body, s.avgBytes);
  Put16(body, s.blockAlign);
  Put16(body, s.bits);
  Put16(body, s.extensionSize);
  // A chunk longer than any real one is left short, as a damaged file is.
  const std::size_t bodySize = std::min<std::size_t>(s.formatSize, 1024);
  while (body.size() < bodySize) {
    body.push_back(static_cast<std::uint8_t>(0xA0 + body.size()));
  }
  body.resize(bodySize);

  Bytes out;
  PutText(out, s.riff);
  Put32(out, 0);  // patched below
  PutText(out, s.wave);
  PutText(out, s.fmt);
  Put32(out, s.formatSize);
  out.insert(out.end(), body.begin(), body.end());
  out.insert(out.end(), s.between.begin(), s.between.end());
  PutText(out, s.data);
  Put32(out, s.dataSize != 0 ? s.dataSize : static_cast<std::uint32_t>(2 * s.samples.size()));
  for (const std::int16_t v : s.samples) {
    Put16(out, static_cast<std::uint16_t>(v));
  }
  out.insert(out.end(), s.trailing.begin(), s.trailing.end());
  const auto riffSize = s.riffSize != 0 ? s.riffSize : static_cast<std::uint32_t>(out.size() - 8);
  for (int i = 0; i < 4; ++i) {
    out[static_cast<std::size_t>(4 + i)] = static_cast<std::uint8_t>(riffSize >> (8 * i));
  }
  return out;
}

// Distinct values over the whole range, negative ones included.
Samples Pattern(std::size_t n) {
  Samples out(n);
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>((i * 7919 + 12345) & 0xFFFF));
  }
  return out;
}

void WriteBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

Bytes ReadBytes(const std::string& path) {
  const std::string text = testsupport::ReadFileText(path);
  return Bytes(text.begin(), text.end());
}

class WaveFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tones_.ListOutputDevices();
    ASSERT_TRUE(tones_.OpenOutputDevices(0));
    radio_ = dynamic_cast<RecordingPlayback*>(tones_.TransmitDevice());
    speaker_ = dynamic_cast<RecordingPlayback*>(tones_.LocalDevice());
    ASSERT_NE(radio_, nullptr);
    ASSERT_NE(speaker_, nullptr);
    events_.clear();
  }

  std::string Put(const Bytes& bytes, const std::string& name = "test.wav") {
    const std::string path = dir_.Path(name);
    WriteBytes(path, bytes);
    return path;
  }
  // Sent keyed as a transmit job does (target 1), or played on the local
  // device (target 0); the outcome reported as the callers do.
  bool Play(const std::string& path, int target = 1) { return PlayOn(tones_, path, target); }
  bool PlayOn(ToneGenerator& tones, const std::string& path, int target) {
    tx::Transmission tx(tones, ptt_, pauses_);
    const WaveOutcome outcome =
        target == 1 ? tx::SendWaveFile(tx, path) : PlayWaveFileLocal(tones, path);
    ReportWaveOutcome(outcome, messages_);
    return outcome == WaveOutcome::kPlayed;
  }
  // Neither reader takes the file; the player says so and touches nothing.
  void ExpectRefused(const std::string& path) {
    EXPECT_FALSE(IsValidWaveFile(path));
    const std::size_t before = messages_.messages.size();
    EXPECT_FALSE(Play(path));
    ASSERT_EQ(messages_.messages.size(), before + 1);
    EXPECT_EQ(messages_.messages.back(), kNotSupported);
    EXPECT_EQ(ptt_.keys, 0);
    EXPECT_TRUE(radio_->Samples().empty());
  }
  // Both readers take the file and exactly `samples` go out keyed.
  void ExpectPlays(const std::string& path, const Samples& samples) {
    const auto before = static_cast<std::ptrdiff_t>(radio_->Samples().size());
    EXPECT_TRUE(IsValidWaveFile(path));
    EXPECT_TRUE(Play(path));
    EXPECT_EQ(Samples(radio_->Samples().begin() + before, radio_->Samples().end()), samples);
    EXPECT_TRUE(messages_.messages.empty());
  }

  ScopedTempDir dir_;
  PlaybackEventLog events_;
  RecordingAudioBackend backend_{&events_};
  ToneGenerator tones_{backend_};
  RecordingTransmitter ptt_{&events_};
  testsupport::FakeSleeper pauses_;
  FakeMessageSink messages_;
  RecordingPlayback* radio_ = nullptr;
  RecordingPlayback* speaker_ = nullptr;
};

// ---- Writing -------------------------------------------------------------

TEST_F(WaveFileTest, WritesTheExactHeaderAndLittleEndianSamplesOverAnOldFile) {
  const Samples samples = {1, -2, 0x1234};
  tones_.SoundFile().Append(samples);
  const std::string path = Put(Bytes(10000, 0x55), "call.wav");
  ASSERT_TRUE(WriteCodeSoundFile(tones_.SoundFile(), path));
  const std::string expected(
      "RIFF\x2A\0\0\0WAVEfmt \x10\0\0\0\1\0\1\0\x11\x2B\0\0\x22\x56\0\0\2\0\x10\0"
      "data\6\0\0\0\x01\x00\xFE\xFF\x34\x12",
      50);
  EXPECT_EQ(testsupport::ReadFileText(path), expected);
}

TEST_F(WaveFileTest, WrittenFileIsValidAndPlaysExactlyItsSamples) {
  const Samples samples = Pattern(5001);  // several read blocks and a part block
  tones_.SoundFile().Append(samples);
  const std::string path = dir_.Path("call.wav");
  ASSERT_TRUE(WriteCodeSoundFile(tones_.SoundFile(), path));
  EXPECT_EQ(std::filesystem::file_size(path), 44u + 2 * samples.size());
  ExpectPlays(path, samples);
}

TEST_F(WaveFileTest, EmptyBufferWritesABareHeaderThatPlaysNothing) {
  const std::string path = dir_.Path("empty.wav");
  ASSERT_TRUE(WriteCodeSoundFile(tones_.SoundFile(), path));
  const Bytes bytes = ReadBytes(path);
  ASSERT_EQ(bytes.size(), 44u);
  EXPECT_EQ(Bytes(bytes.begin() + 4, bytes.begin() + 8), (Bytes{36, 0, 0, 0}));
  EXPECT_EQ(Bytes(bytes.begin() + 40, bytes.end()), Bytes(4, 0));
  EXPECT_TRUE(IsValidWaveFile(path));
  EXPECT_FALSE(Play(path, 1));
  EXPECT_FALSE(Play(path, 0));
  EXPECT_TRUE(events_.empty());  // no keying, no writes
  EXPECT_TRUE(messages_.messages.empty());
}

TEST_F(WaveFileTest, UncreatablePathsFailWithAReason) {
  tones_.SoundFile().Append(Pattern(10));
  for (const std::string& path :
       {dir_.Path(std::string(PATH_MAX + 10, 'a')), dir_.Path(std::string(NAME_MAX + 1, 'b')),
        dir_.Path("no-such-dir/call.wav")}) {
    std::string error;
    EXPECT_FALSE(WriteCodeSoundFile(tones_.SoundFile(), path, &error)) << path.size();
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(WriteCodeSoundFile(tones_.SoundFile(), path));  // no place for a reason
  }
  EXPECT_FALSE(std::filesystem::exists(dir_.Path("no-such-dir")));
}

// ---- Small pieces --------------------------------------------------------

TEST_F(WaveFileTest, ChunkTagsMatchFourExactBytes) {
  const std::string path = Put({'R', 'I', 'F', 'F', 'r', 'i', 'f', 'f', 'W', 'A', 'V'});
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
  ASSERT_TRUE(file);
  EXPECT_TRUE(ReadChunkTag(file.get(), "RIFF"));
  EXPECT_FALSE(ReadChunkTag(file.get(), "RIFF"));  // "riff": case matters
  EXPECT_FALSE(ReadChunkTag(file.get(), "WAV"));   // only 3 bytes left
  EXPECT_FALSE(ReadChunkTag(file.get(), ""));      // nothing left
}

TEST(WaveFormatRecordDecode, FieldsAreLittleEndianAndMissingOnesZero) {
  const Bytes bytes = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09,
                       0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x12};
  const WaveFormatRecord full = DecodeWaveFormatRecord(bytes);
  EXPECT_EQ(full.formatTag, 0x0201);
  EXPECT_EQ(full.channels, 0x0403);
  EXPECT_EQ(full.samplesPerSec, 0x08070605u);
  EXPECT_EQ(full.avgBytesPerSec, 0x0C0B0A09u);
  EXPECT_EQ(full.blockAlign, 0x0E0D);
  EXPECT_EQ(full.bitsPerSample, 0x100F);
  EXPECT_EQ(full.extensionSize, 0x1211);
  const WaveFormatRecord shorter = DecodeWaveFormatRecord(std::span(bytes).first(16));
  EXPECT_EQ(shorter.bitsPerSample, 0x100F);
  EXPECT_EQ(shorter.extensionSize, 0);
}

TEST_F(WaveFileTest, OnlyReadableRegularFilesExist) {
  const std::string path = Put(Build({}));
  EXPECT_TRUE(FileExists(path));
  EXPECT_FALSE(FileExists(dir_.Path("missing.wav")));
  EXPECT_FALSE(FileExists(dir_.path().string()));
  EXPECT_FALSE(IsValidWaveFile(dir_.Path("missing.wav")));
  EXPECT_FALSE(IsValidWaveFile(dir_.path().string()));
  EXPECT_FALSE(Play(dir_.Path("missing.wav")));
  EXPECT_FALSE(Play(dir_.path().string(), 0));
  EXPECT_TRUE(messages_.messages.empty());
  EXPECT_TRUE(events_.empty());
}

// ---- What the readers accept ---------------------------------------------

TEST_F(WaveFileTest, OtherFormatsAndWrongTagsAreRefusedByBoth) {
  const auto refused = [&](WaveSpec layout, const char* what) {
    SCOPED_TRACE(what);
    layout.samples = Pattern(100);
    ExpectRefused(Put(Build(layout)));
  };
  refused({.rate = 44100}, "44100 Hz");
  refused({.channels = 2, .blockAlign = 4}, "stereo");
  refused({.avgBytes = 11025, .blockAlign = 1, .bits = 8}, "8-bit");
  refused({.formatTag = 3}, "float");
  refused({.riff = "riff"}, "lower-case riff");
  refused({.riff = "RIFX"}, "big-endian riff");
  refused({.wave = "wave"}, "lower-case wave");
  refused({.fmt = "FMT "}, "upper-case fmt");
  refused({.formatSize = 14}, "14-byte format chunk");
  refused({.formatSize = 15}, "15-byte format chunk");
  refused({.formatSize = 0xFFFFFFFF}, "format chunk longer than the file");
  refused({.formatSize = 0x7FFFFFF0}, "format chunk longer than the file");
  EXPECT_EQ(messages_.messages.size(), 12u);
}

TEST_F(WaveFileTest, FormatChunksOfSixteenBytesOrMoreAreReadToTheirEnd) {
  for (const std::uint32_t size : {16u, 17u, 18u, 20u, 40u}) {
    SCOPED_TRACE(size);
    const Samples samples = Pattern(size * 3);
    ExpectPlays(Put(Build({.formatSize = size, .samples = samples})), samples);
  }
  // Byte rate, block align and the extension size are not examined.
  const Samples samples = Pattern(7);
  ExpectPlays(Put(Build({.formatSize = 18,
                         .avgBytes = 0,
                         .blockAlign = 7,
                         .extensionSize = 22,
                         .samples = samples})),
              samples);
}

TEST_F(WaveFileTest, AChunkBetweenFormatAndDataIsRefusedOnlyByThePlayer) {
  WaveSpec layout{.samples = Pattern(50)};
  PutText(layout.between, "LIST");
  Put32(layout.between, 4);
  PutText(layout.between, "INFO");
  const std::string path = Put(Build(layout));
  EXPECT_TRUE(IsValidWaveFile(path));
  EXPECT_FALSE(Play(path));
  EXPECT_EQ(messages_.messages, std::vector<std::string>{kNotSupported});
  EXPECT_EQ(ptt_.keys, 0);
  EXPECT_TRUE(radio_->Samples().empty());
}

TEST_F(WaveFileTest, HugeRiffAndDataSizesAndALastOddByteDoNotMatter) {
  const Samples samples = Pattern(1025);
  ExpectPlays(Put(Build({.riffSize = 0xFFFFFFFF,
                         .dataSize = 0xFFFFFFFF,
                         .samples = samples,
                         .trailing = {0x7F}})),
              samples);
}

// ---- Playing -------------------------------------------------------------

TEST_F(WaveFileTest, PlaysAtMostTheLongestPlay) {
  const Samples samples = Pattern(500000);
  const std::string path = Put(Build({.samples = samples}));
  EXPECT_TRUE(Play(path));
  EXPECT_EQ(radio_->Samples(), Samples(samples.begin(), samples.begin() + kMaxWaveSamples));
}

TEST_F(WaveFileTest, LocalPlaysNeverKey) {
  const Samples samples = Pattern(2000);
  EXPECT_TRUE(Play(Put(Build({.samples = samples})), 0));
  EXPECT_EQ(speaker_->Samples(), samples);
  EXPECT_GE(speaker_->drains, 1);  // played out before the device can be replaced
  EXPECT_TRUE(radio_->Samples().empty());
  EXPECT_EQ(ptt_.keys + ptt_.releases, 0);
}

TEST_F(WaveFileTest, TransmitPlaysKeyBeforeWritingAndReleaseAfterDraining) {
  EXPECT_TRUE(Play(Put(Build({.samples = Pattern(3000)}))));
  ASSERT_FALSE(events_.empty());
  EXPECT_EQ(events_.front(), "key");
  EXPECT_EQ(events_.back(), "release");
  EXPECT_EQ(events_[events_.size() - 2], "radio drain");
  EXPECT_EQ(std::count(events_.begin(), events_.end(), "key"), 1);
  EXPECT_EQ(std::count(events_.begin(), events_.end(), "release"), 1);
  EXPECT_GE(radio_->writes, 1);
  EXPECT_TRUE(speaker_->Samples().empty());
}

TEST_F(WaveFileTest, TheFileIsReadBeforeKeying) {
  const Samples samples = Pattern(4000);
  const std::string path = Put(Build({.samples = samples}));
  // During the TX delay the file changes; what plays is what was read.
  ptt_.onKey = [&] { WriteBytes(path, Build({.samples = Pattern(5)})); };
  EXPECT_TRUE(Play(path));
  EXPECT_EQ(radio_->Samples(), samples);
}

TEST_F(WaveFileTest, TheTransmitterIsReleasedWhenTheDeviceFails) {
  const std::string path = Put(Build({.samples = Pattern(100)}));
  for (const bool failWrite : {true, false}) {
    radio_->failWrite = failWrite;
    radio_->failDrain = !failWrite;
    events_.clear();
    EXPECT_FALSE(Play(path));
    EXPECT_EQ(events_.front(), "key");
    EXPECT_EQ(events_.back(), "release");
    EXPECT_EQ(std::count(events_.begin(), events_.end(), "release"), 1);
  }
  EXPECT_TRUE(messages_.messages.empty());
}

TEST_F(WaveFileTest, PlaysThatCannotHappenDoNothingAndSayNothing) {
  const std::string good = Put(Build({.samples = Pattern(10)}), "good.wav");
  const std::string bad = Put(Build({.rate = 8000, .samples = Pattern(10)}), "bad.wav");
  const auto closed = std::make_unique<ToneGenerator>(backend_);  // no devices opened
  EXPECT_FALSE(PlayOn(*closed, good, 1));
  EXPECT_FALSE(PlayOn(*closed, bad, 1));
  EXPECT_FALSE(PlayOn(*closed, good, 0));
  tones_.CloseOutputDevices();
  EXPECT_FALSE(Play(good, 1));
  EXPECT_FALSE(Play(bad, 0));
  EXPECT_TRUE(events_.empty());
  EXPECT_TRUE(messages_.messages.empty());
}

// ---- Broken and hostile files --------------------------------------------

TEST_F(WaveFileTest, EveryTruncationOfAValidFileIsHandled) {
  const Samples samples = Pattern(8);
  const Bytes whole = Build({.samples = samples});
  ASSERT_EQ(whole.size(), 60u);
  for (std::size_t length = 0; length <= whole.size(); ++length) {
    SCOPED_TRACE(length);
    const std::string path =
        Put(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length)));
    events_.clear();
    messages_.messages.clear();
    const std::size_t before = radio_->Samples().size();
    // The checker needs the header through the format chunk (36 bytes); the
    // player needs "data" and its size too (44) and at least one sample.
    EXPECT_EQ(IsValidWaveFile(path), length >= 36);
    EXPECT_EQ(Play(path), length >= 46);
    EXPECT_EQ(messages_.messages.size(), length < 44 ? 1u : 0u);
    const std::size_t played = length >= 46 ? (length - 44) / 2 : 0;
    EXPECT_EQ(radio_->Samples().size() - before, played);
    EXPECT_EQ(ptt_.keys, ptt_.releases);
  }
}

TEST_F(WaveFileTest, RandomBytesAreRefused) {
  std::mt19937 random(20240611);
  for (int i = 0; i < 300; ++i) {
    Bytes bytes(random() % 400);
    for (auto& b : bytes) {
      b = static_cast<std::uint8_t>(random());
    }
    const std::string path = Put(bytes);
    EXPECT_FALSE(IsValidWaveFile(path)) << i;
    EXPECT_FALSE(Play(path, static_cast<int>(random() % 2))) << i;
  }
  EXPECT_EQ(messages_.messages.size(), 300u);
  EXPECT_TRUE(events_.empty());
}

TEST_F(WaveFileTest, MutatedHeadersNeverCrashAndStayConsistent) {
  std::mt19937 random(777);
  const Bytes original = Build({.samples = Pattern(64)});
  const std::string path = dir_.Path("mutant.wav");
  for (int i = 0; i < 4000; ++i) {
    Bytes bytes = original;
    const auto kinds = static_cast<unsigned>(random() % 15 + 1);  // any mix of the four mutations
    if ((kinds & 1u) != 0) {
      for (unsigned flips = random() % 4 + 1; flips > 0; --flips) {
        bytes[random() % 48] ^= static_cast<std::uint8_t>(1u << (random() % 8));
      }
    }
    if ((kinds & 2u) != 0) {
      const std::size_t at = std::array<std::size_t, 3>{4, 16, 40}[random() % 3];
      const auto small = static_cast<std::uint32_t>(random() % 64);  // small, huge or any
      const std::uint32_t v =
          std::array{small, ~small, static_cast<std::uint32_t>(random())}[random() % 3];
      for (std::size_t k = 0; k < 4; ++k) {
        bytes[at + k] = static_cast<std::uint8_t>(v >> (8 * k));
      }
    }
    if ((kinds & 4u) != 0) {
      bytes.resize(random() % (bytes.size() + 1));
    }
    if ((kinds & 8u) != 0) {
      for (unsigned extra = random() % 64; extra > 0; --extra) {
        bytes.push_back(static_cast<std::uint8_t>(random()));
      }
    }
    WriteBytes(path, bytes);
    const std::size_t messagesBefore = messages_.messages.size();
    const std::size_t playedBefore = radio_->Samples().size() + speaker_->Samples().size();
    const bool valid = IsValidWaveFile(path);
    const bool played = Play(path, static_cast<int>(random() % 2));
    const std::size_t playedNow = radio_->Samples().size() + speaker_->Samples().size();
    const bool said = messages_.messages.size() != messagesBefore;
    // A header the checker refuses is reported; a reported file plays
    // nothing; whatever plays came out of the file.
    ASSERT_FALSE(played && !valid) << i;
    ASSERT_TRUE(valid || said) << i;
    ASSERT_FALSE(said && (played || playedNow != playedBefore)) << i;
    ASSERT_EQ(played, playedNow != playedBefore) << i;
    ASSERT_LE(playedNow - playedBefore, bytes.size() / 2) << i;
    ASSERT_EQ(ptt_.keys, ptt_.releases) << i;
  }
}

}  // namespace
}  // namespace sequelo::audio
