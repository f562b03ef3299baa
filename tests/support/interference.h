// Interference for the false-alarm tests and benchmarks: endless streams of
// sounds a receiver hears besides calls, at 6000 Hz, normalised (-1..1),
// deterministic for a seed.
//  - speech: synthesised by espeak-ng (several languages, voices, speeds and
//    pitches) when the program is installed;
//  - music: chords, arpeggios, glides and melodies, some notes on or near the
//    tones of ZVEI and DZVEI;
//  - band music: tunes of melody, chords, bass and drums at 60..180 beats a
//    minute in a major or minor key, played by flute, clarinet, brass,
//    strings, plucked string, piano or organ (harmonics, attack, decay,
//    vibrato), with swing, crescendos and fades;
//  - fast melodies: phrases of 40..200 ms notes, half of them on the tones of
//    either tone set;
//  - radio sounds: alternating two-tone wake signals (50..150 ms per tone),
//    sirens, steady tones, DTMF, squelch tails, hum, sub-audible tones and
//    five-tone calls of other tone sets (CCIR, EEA, EIA).
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string_view>
#include <vector>

namespace sequelo::testsupport {

enum class InterferenceKind { kSpeech, kMusic, kFastMelody, kRadio, kBand };

std::string_view InterferenceName(InterferenceKind kind);

// True when the espeak-ng program can be run.
bool SpeechSynthesisAvailable();

class InterferenceStream {
 public:
  // Sounds peak at about `levelDbfs`, with pauses between them and a faint
  // white noise floor (-70 dBFS) throughout.
  InterferenceStream(InterferenceKind kind, std::uint32_t seed, double levelDbfs = -20.0);

  // Writes the next `n` samples.
  void Fill(double* out, std::size_t n);

  // False when speech was asked for and espeak-ng could not be run (the
  // stream then gives the noise floor only).
  bool Ok() const { return ok_; }

 private:
  void NextPiece();
  void Pause(double minMs, double maxMs);
  void Note(double hz, double ms, double amplitude, double harmonics);
  void Glide(double fromHz, double toHz, double ms, double amplitude);
  double RandomToneHz(double onSetShare);
  void Music();
  void Band();
  void FastMelody();
  void Radio();
  void Speech();

  InterferenceKind kind_;
  std::mt19937 rng_;
  double amplitude_;
  bool ok_ = true;
  std::vector<double> piece_;
  std::size_t position_ = 0;
  double phase_ = 0.0;
  std::vector<std::vector<double>> utterances_;  // speech pool, 6000 Hz
};

// The next stretch of `stream` that is busy throughout (no pause between two
// pieces), scaled so that its mean power is `powerRatio` x the power of a
// sine of amplitude `toneAmplitude`.
std::vector<double> BusyStretch(InterferenceStream& stream, std::size_t samples,
                                double toneAmplitude, double powerRatio);

}  // namespace sequelo::testsupport
