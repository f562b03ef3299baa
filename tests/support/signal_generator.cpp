#include "tests/support/signal_generator.h"

#include <sndfile.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <random>

namespace sequelo::testsupport {

double AmplitudeOf(double levelDbfs) {
  return std::pow(10.0, levelDbfs / 20.0);
}

double NoiseSigmaFor(double amplitude, double snrDb) {
  const double tonePower = amplitude * amplitude / 2.0;
  return std::sqrt(tonePower / std::pow(10.0, snrDb / 10.0));
}

void AppendTone(std::vector<double>& samples, double sampleRateHz, double hz, double amplitude,
                double ms, double& phase) {
  const auto count = static_cast<std::size_t>(std::llround(ms * sampleRateHz / 1000.0));
  const double step = 2.0 * std::numbers::pi * hz / sampleRateHz;
  for (std::size_t i = 0; i < count; ++i) {
    samples.push_back(hz > 0.0 ? amplitude * std::sin(phase) : 0.0);
    phase = std::fmod(phase + step, 2.0 * std::numbers::pi);
  }
}

void AddNoise(std::vector<double>& samples, double sigma, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, sigma);
  for (double& s : samples) {
    s += noise(rng);
  }
}

std::vector<double> MakeCall(const CallSignal& signal) {
  const core::ToneSet* toneSet = core::BuiltInToneSet(signal.modeIndex);
  std::array<std::int32_t, core::kMaxSequenceTones> tones{};
  const int count = toneSet != nullptr ? core::SequenceTones(*toneSet, signal.code, tones) : 0;
  const double amplitude = AmplitudeOf(signal.levelDbfs);
  std::vector<double> samples;
  double phase = signal.startPhase;
  AppendTone(samples, signal.sampleRateHz, 0.0, 0.0, signal.leadMs, phase);
  phase = signal.startPhase;
  for (int i = 0; i < count; ++i) {
    const double hz = tones[static_cast<std::size_t>(i)] * (1.0 + signal.offsetRelative);
    AppendTone(samples, signal.sampleRateHz, hz, amplitude, signal.toneMs, phase);
  }
  AppendTone(samples, signal.sampleRateHz, 0.0, 0.0, signal.trailMs, phase);
  if (std::isfinite(signal.snrDb)) {
    AddNoise(samples, NoiseSigmaFor(amplitude, signal.snrDb), signal.seed);
  }
  return samples;
}

std::vector<std::int16_t> ToPcm16(const std::vector<double>& samples) {
  std::vector<std::int16_t> out;
  out.reserve(samples.size());
  for (double s : samples) {
    const double v = std::clamp(std::nearbyint(s * 32768.0), -32768.0, 32767.0);
    out.push_back(static_cast<std::int16_t>(v));
  }
  return out;
}

std::vector<std::int16_t> ToCaptureStereo(const std::vector<double>& first,
                                          const std::vector<double>& second) {
  const std::vector<std::int16_t> a = ToPcm16(first);
  const std::vector<std::int16_t> b = ToPcm16(second);
  std::vector<std::int16_t> out(a.size() * 2, 0);
  for (std::size_t i = 0; i < a.size(); ++i) {
    out[2 * i] = a[i];
    out[2 * i + 1] = i < b.size() ? b[i] : 0;
  }
  return out;
}

bool WriteWav(const std::string& path, const std::vector<std::int16_t>& interleaved, int channels,
              int sampleRateHz) {
  SF_INFO info{};
  info.samplerate = sampleRateHz;
  info.channels = channels;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (file == nullptr) {
    return false;
  }
  const auto frames =
      static_cast<sf_count_t>(interleaved.size() / static_cast<std::size_t>(channels));
  const bool ok = sf_writef_short(file, interleaved.data(), frames) == frames;
  return sf_close(file) == 0 && ok;
}

std::string RandomCode(std::uint32_t& state) {
  static constexpr char kAlphabet[] = "0123456789*";
  std::string code;
  for (int i = 0; i < 5; ++i) {
    state = state * 1664525U + 1013904223U;
    code.push_back(kAlphabet[(state >> 16) % 11]);
  }
  return code;
}

}  // namespace sequelo::testsupport
