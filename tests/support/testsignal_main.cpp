// sequelo-testsignal: writes five-tone calls as our encoder sends them into a
// WAV file or raw s16le samples, for demonstrations, tests and benchmarks.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "core/trailer_detector.h"
#include "tests/support/signal_generator.h"

using sequelo::testsupport::CallSignal;

int main(int argc, char** argv) {
  CLI::App app{"Write test calls (five 70 ms tones, repeat rule) as audio", "sequelo-testsignal"};
  std::vector<std::string> codes{"12345"};
  std::string mode = "ZVEI";
  std::string output;
  double rateHz = 6000;
  double levelDbfs = -10;
  double offsetPercent = 0;
  double snrDb = INFINITY;
  double gapMs = 500;
  int repeat = 1;
  int channels = 1;
  unsigned seed = 1;
  bool raw = false;
  std::string follow;
  double followMs = 5000;
  app.add_option("--code", codes, "Codes to send, in order (repeatable)")->capture_default_str();
  app.add_option("--mode", mode, "ZVEI or DZVEI")
      ->check(CLI::IsMember({"ZVEI", "DZVEI"}, CLI::ignore_case))
      ->capture_default_str();
  app.add_option("--rate", rateHz, "Sample rate in Hz")
      ->check(CLI::Range(1000, 192000))
      ->capture_default_str();
  app.add_option("--level", levelDbfs, "Tone peak level in dBFS")->capture_default_str();
  app.add_option("--offset", offsetPercent, "Frequency offset in percent")->capture_default_str();
  app.add_option("--snr", snrDb, "Add white noise at this SNR in dB (tone against noise power)");
  app.add_option("--gap", gapMs, "Silence before, between and after calls, in ms")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_option("--repeat", repeat, "Send the list of codes this many times")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  app.add_option("--channels", channels, "1 (mono) or 2 (calls on the left)")
      ->check(CLI::IsMember({1, 2}))
      ->capture_default_str();
  app.add_option("--seed", seed, "Noise seed")->capture_default_str();
  app.add_option("--follow", follow,
                 "After the calls (and a gap), what follows an alarm: a name of the trailer "
                 "table (\"fire\", \"test\", \"wake tone\", ...)");
  app.add_option("--follow-ms", followMs, "How long it lasts, in ms")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  app.add_flag("--raw", raw, "Write raw signed 16-bit little-endian mono instead of WAV");
  app.add_option("OUTPUT", output, "Output file; - writes standard output (raw only)")->required();
  CLI11_PARSE(app, argc, argv);

  std::vector<double> samples;
  double phase = 0;
  sequelo::testsupport::AppendTone(samples, rateHz, 0, 0, gapMs, phase);
  for (int r = 0; r < repeat; ++r) {
    for (const std::string& code : codes) {
      CallSignal call;
      call.code = code;
      call.modeIndex = sequelo::core::ModeIndexFromName(mode);
      call.sampleRateHz = rateHz;
      call.levelDbfs = levelDbfs;
      call.offsetRelative = offsetPercent / 100.0;
      call.leadMs = 0;
      call.trailMs = gapMs;
      const std::vector<double> one = sequelo::testsupport::MakeCall(call);
      samples.insert(samples.end(), one.begin(), one.end());
    }
  }
  if (!follow.empty()) {
    const auto classes = sequelo::core::DefaultTrailerClasses();
    const auto found = std::find_if(classes.begin(), classes.end(),
                                    [&](const auto& c) { return c.name == follow; });
    if (found == classes.end()) {
      std::fprintf(stderr, "sequelo-testsignal: --follow: no such trailer: %s\n", follow.c_str());
      return 2;
    }
    const double amplitude = sequelo::testsupport::AmplitudeOf(levelDbfs);
    double phase2 = 0;
    if (found->intermittent) {
      // 0.8 s on, 0.3 s off.
      const int periods = std::max(1, static_cast<int>((followMs + 300) / 1100));
      sequelo::testsupport::AppendIntermittentTone(samples, rateHz, found->lowHz, amplitude, 800,
                                                   300, periods, phase);
    } else if (found->highHz == 0) {
      sequelo::testsupport::AppendTone(samples, rateHz, found->lowHz, amplitude, followMs, phase);
    } else {
      // Two tones at once, each at half the level, so the sum stays within
      // the level asked.
      sequelo::testsupport::AppendDoubleTone(samples, rateHz, found->lowHz, found->highHz,
                                             amplitude / 2, followMs, phase, phase2);
    }
    sequelo::testsupport::AppendTone(samples, rateHz, 0, 0, gapMs, phase);
  }
  if (std::isfinite(snrDb)) {
    sequelo::testsupport::AddNoise(
        samples,
        sequelo::testsupport::NoiseSigmaFor(sequelo::testsupport::AmplitudeOf(levelDbfs), snrDb),
        seed);
  }
  std::vector<std::int16_t> pcm = sequelo::testsupport::ToPcm16(samples);
  if (raw) {
    if (channels != 1) {
      std::fprintf(stderr, "sequelo-testsignal: --raw writes mono only\n");
      return 2;
    }
    std::FILE* f = output == "-" ? stdout : std::fopen(output.c_str(), "wb");
    if (f == nullptr) {
      std::perror(output.c_str());
      return 1;
    }
    std::vector<unsigned char> bytes;
    bytes.reserve(pcm.size() * 2);
    for (std::int16_t s : pcm) {
      const auto u = static_cast<std::uint16_t>(s);
      bytes.push_back(static_cast<unsigned char>(u & 0xFFU));
      bytes.push_back(static_cast<unsigned char>(u >> 8));
    }
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if ((f != stdout ? std::fclose(f) : std::fflush(f)) != 0 || !ok) {
      std::perror(output.c_str());
      return 1;
    }
    return 0;
  }
  if (channels == 2) {
    pcm = sequelo::testsupport::ToCaptureStereo(samples);
  }
  if (!sequelo::testsupport::WriteWav(output, pcm, channels, static_cast<int>(rateHz))) {
    std::fprintf(stderr, "sequelo-testsignal: cannot write %s\n", output.c_str());
    return 1;
  }
  return 0;
}
