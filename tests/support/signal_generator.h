// Test signals: five-tone calls as our encoder sends them (70 ms tones, no
// gaps, the repeat rule), at any sample rate, level and frequency offset,
// with optional white noise. Deterministic for a given seed.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "core/tone_set.h"

namespace sequelo::testsupport {

struct CallSignal {
  std::string code = "12345";  // or a sequence of up to 16 characters, letters for special tones
  int modeIndex = core::kModeZvei;
  double sampleRateHz = 6000.0;
  double levelDbfs = -10.0;     // peak level of each tone, dB below full scale
  double offsetRelative = 0.0;  // frequency offset, e.g. 0.005 for +0.5 %
  double toneMs = 70.0;         // length of each tone
  double leadMs = 300.0;        // silence (or noise) before the call
  double trailMs = 300.0;       // silence (or noise) after it
  double startPhase = 0.0;      // radians
  double snrDb = std::numeric_limits<double>::infinity();  // tone power / noise power
  std::uint32_t seed = 1;
  // A recording played back fast (e.g. 0.02 for 2 %): every tone higher and
  // shorter by that much.
  double speedRelative = 0.0;
  // Through a receiver's audio band: made at 48000 Hz, 300-3000 Hz with
  // fourth-order Butterworth edges, then resampled to `sampleRateHz`. The
  // noise is added after, at the SNR asked.
  bool radioBand = false;
};

// Filters `samples` (at `sampleRateHz`) to 300-3000 Hz as a receiver's audio
// stage does: fourth-order Butterworth high and low pass.
void BandLimit300To3000(std::vector<double>& samples, double sampleRateHz);

// Amplitude (fraction of full scale) of a sine at `levelDbfs`.
double AmplitudeOf(double levelDbfs);

// Normalised samples (-1..1) of the call, phase-continuous across tones.
std::vector<double> MakeCall(const CallSignal& signal);

// Appends `ms` of a steady tone, silence (hz 0) or noise-only audio.
void AppendTone(std::vector<double>& samples, double sampleRateHz, double hz, double amplitude,
                double ms, double& phase);

// Appends `ms` of two steady tones sounding at once (a siren double tone),
// each of peak `amplitude`, phase-continuous through `phase1` and `phase2`.
void AppendDoubleTone(std::vector<double>& samples, double sampleRateHz, double hz1, double hz2,
                      double amplitude, double ms, double& phase1, double& phase2);

// Appends `periods` on-periods of `onMs` of a tone with `offMs` of silence
// between each two (an intermittent wake tone: no gap after the last).
void AppendIntermittentTone(std::vector<double>& samples, double sampleRateHz, double hz,
                            double amplitude, double onMs, double offMs, int periods,
                            double& phase);

// Adds white Gaussian noise of standard deviation `sigma` (fraction of full scale).
void AddNoise(std::vector<double>& samples, double sigma, std::uint32_t seed);

// Noise standard deviation that gives `snrDb` against a sine of `amplitude`.
double NoiseSigmaFor(double amplitude, double snrDb);

// 16-bit conversion as a sound card would deliver it (rounded, clipped).
std::vector<std::int16_t> ToPcm16(const std::vector<double>& samples);

// Interleaved 6000 Hz stereo capture audio: `first` on the first channel,
// `second` (or silence when empty) on the second.
std::vector<std::int16_t> ToCaptureStereo(const std::vector<double>& first,
                                          const std::vector<double>& second = {});

// Writes 16-bit PCM WAV (mono, or interleaved with `channels`). False on failure.
bool WriteWav(const std::string& path, const std::vector<std::int16_t>& interleaved, int channels,
              int sampleRateHz);

// Random five-character codes from '0'..'9' and '*'.
std::string RandomCode(std::uint32_t& state);

}  // namespace sequelo::testsupport
