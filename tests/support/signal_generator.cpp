#include "tests/support/signal_generator.h"

#include "audio/resampler.h"

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

void AppendDoubleTone(std::vector<double>& samples, double sampleRateHz, double hz1, double hz2,
                      double amplitude, double ms, double& phase1, double& phase2) {
  const std::size_t start = samples.size();
  AppendTone(samples, sampleRateHz, hz1, amplitude, ms, phase1);
  std::vector<double> second;
  second.reserve(samples.size() - start);
  AppendTone(second, sampleRateHz, hz2, amplitude, ms, phase2);
  for (std::size_t i = 0; i < second.size(); ++i) {
    samples[start + i] += second[i];
  }
}

void AppendIntermittentTone(std::vector<double>& samples, double sampleRateHz, double hz,
                            double amplitude, double onMs, double offMs, int periods,
                            double& phase) {
  for (int p = 0; p < periods; ++p) {
    if (p > 0) {
      AppendTone(samples, sampleRateHz, 0.0, 0.0, offMs, phase);
    }
    AppendTone(samples, sampleRateHz, hz, amplitude, onMs, phase);
  }
}

void AddNoise(std::vector<double>& samples, double sigma, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, sigma);
  for (double& s : samples) {
    s += noise(rng);
  }
}

namespace {

// One second-order section (RBJ's cookbook) applied in place.
void Biquad(std::vector<double>& x, double rateHz, double hz, double q, bool highPass) {
  const double w0 = 2.0 * std::numbers::pi * hz / rateHz;
  const double alpha = std::sin(w0) / (2.0 * q);
  const double c = std::cos(w0);
  const double a0 = 1.0 + alpha;
  const double b1 = (highPass ? -(1.0 + c) : 1.0 - c) / a0;
  const double b0 = std::abs(b1) / 2.0;
  const double a1 = -2.0 * c / a0;
  const double a2 = (1.0 - alpha) / a0;
  double x1 = 0.0, x2 = 0.0, y1 = 0.0, y2 = 0.0;
  for (double& s : x) {
    const double y = b0 * s + b1 * x1 + b0 * x2 - a1 * y1 - a2 * y2;
    x2 = x1;
    x1 = s;
    y2 = y1;
    y1 = y;
    s = y;
  }
}

}  // namespace

void BandLimit300To3000(std::vector<double>& samples, double sampleRateHz) {
  // A fourth-order Butterworth edge is two sections with these Qs.
  for (double q : {0.5411961, 1.3065630}) {
    Biquad(samples, sampleRateHz, 300.0, q, true);
    Biquad(samples, sampleRateHz, 3000.0, q, false);
  }
}

std::vector<double> MakeCall(const CallSignal& signal) {
  const core::ToneSet* toneSet = core::BuiltInToneSet(signal.modeIndex);
  std::array<std::int32_t, core::kMaxSequenceTones> tones{};
  const int count = toneSet != nullptr ? core::SequenceTones(*toneSet, signal.code, tones) : 0;
  const double amplitude = AmplitudeOf(signal.levelDbfs);
  const double speed = 1.0 + signal.speedRelative;
  const double rate = signal.radioBand ? 48000.0 : signal.sampleRateHz;
  std::vector<double> samples;
  double phase = signal.startPhase;
  AppendTone(samples, rate, 0.0, 0.0, signal.leadMs, phase);
  phase = signal.startPhase;
  for (int i = 0; i < count; ++i) {
    const double hz = tones[static_cast<std::size_t>(i)] * (1.0 + signal.offsetRelative) * speed;
    AppendTone(samples, rate, hz, amplitude, signal.toneMs / speed, phase);
  }
  AppendTone(samples, rate, 0.0, 0.0, signal.trailMs, phase);
  if (signal.radioBand) {
    BandLimit300To3000(samples, rate);
    if (rate != signal.sampleRateHz) {
      samples = audio::ResampleWhole(samples, rate, signal.sampleRateHz);
    }
  }
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
