// Calls we encode, decoded by a peer: multimon-ng reads 22050 Hz raw
// samples and prints "ZVEI1: 1E21E", its E being the repeat tone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>

#include "app/sound_commands.h"
#include "audio/resampler.h"
#include "audio/sound_file_source.h"
#include "core/tone_set.h"
#include "tests/support/temp_dir.h"

namespace sequelo::app {
namespace {

bool HaveMultimon() {
  return std::system("command -v multimon-ng >/dev/null 2>&1") == 0;
}

// Our WAV (11025 Hz) as the 22050 Hz s16le samples multimon-ng reads.
bool WriteRaw22050(const std::string& wav, const std::string& raw) {
  std::string error;
  auto source = audio::OpenSoundFile(wav, error);
  if (!source) {
    return false;
  }
  std::vector<float> read(1 << 16);
  const long n = source->Read(read.data(), static_cast<long>(read.size()));
  std::vector<double> in(read.begin(), read.begin() + std::max(n, 0L));
  in.resize(in.size() + 2205, 0.0);  // a little silence after the call
  const std::vector<double> out = audio::ResampleWhole(in, source->SampleRateHz(), 22050);
  std::ofstream file(raw, std::ios::binary);
  for (double d : out) {
    const auto v =
        static_cast<std::int16_t>(std::lround(std::clamp(d * 32768.0, -32768.0, 32767.0)));
    const auto u = static_cast<std::uint16_t>(v);
    file.put(static_cast<char>(u & 0xFF)).put(static_cast<char>(u >> 8));
  }
  return static_cast<bool>(file);
}

std::string Multimon(const std::string& mode, const std::string& raw) {
  const std::string command = "multimon-ng -q -c -a " + mode + " -t raw '" + raw + "' 2>/dev/null";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  std::string text;
  char buffer[256];
  while (pipe != nullptr && std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
    text += buffer;
  }
  if (pipe != nullptr) {
    ::pclose(pipe);
  }
  // "ZVEI1: 1E21E\n" -> "11211"
  const auto colon = text.find(": ");
  if (colon == std::string::npos) {
    return text;
  }
  std::string code = text.substr(colon + 2, 5);
  for (std::size_t i = 1; i < code.size(); ++i) {
    if (code[i] == 'E') {
      code[i] = code[i - 1];
    }
  }
  return code;
}

struct PeerCase {
  int mode;
  const char* multimonMode;
  std::vector<std::string> codes;
};

TEST(PeerRoundTrip, MultimonDecodesOurCalls) {
  if (!HaveMultimon()) {
    GTEST_SKIP() << "multimon-ng is not installed (scripts/install-deps installs it)";
  }
  testsupport::ScopedTempDir tmp;
  // multimon-ng has no '*' tone, so the codes are digits; DZVEI without
  // repeats (its repeat tone lies outside multimon-ng's DZVEI table).
  const std::vector<PeerCase> cases{
      {core::kModeZvei, "ZVEI1", {"12345", "67890", "11211", "12222", "00000", "90817"}},
      {core::kModeDzvei, "DZVEI", {"12345", "67890", "13579", "24680"}}};
  for (const PeerCase& c : cases) {
    for (const std::string& code : c.codes) {
      EncodeRequest request;
      request.code = code;
      request.modeIndex = c.mode;
      request.outputPath = tmp.Path(code + ".wav");
      ASSERT_EQ(RunEncodeCommand(request, stderr), 0);
      ASSERT_TRUE(WriteRaw22050(request.outputPath, tmp.Path(code + ".raw")));
      EXPECT_EQ(Multimon(c.multimonMode, tmp.Path(code + ".raw")), code) << c.multimonMode;
    }
  }
}

}  // namespace
}  // namespace sequelo::app
