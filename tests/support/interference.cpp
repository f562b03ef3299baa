#include "tests/support/interference.h"

#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <numbers>
#include <string>

#include "audio/resampler.h"
#include "core/tone_set.h"
#include "tests/support/signal_generator.h"

namespace sequelo::testsupport {
namespace {

constexpr double kRate = 6000.0;
constexpr double kTwoPi = 2.0 * std::numbers::pi;

// Frequencies of other five-tone sets and their tone lengths.
constexpr std::array<double, 10> kCcir{1981, 1124, 1197, 1275, 1358, 1446, 1540, 1640, 1747, 1860};
constexpr std::array<double, 10> kEia{600, 741, 882, 1023, 1164, 1305, 1446, 1587, 1728, 1869};
constexpr std::array<double, 4> kDtmfLow{697, 770, 852, 941};
constexpr std::array<double, 4> kDtmfHigh{1209, 1336, 1477, 1633};

// Sentences in the voices' languages, as a dispatcher or a club net might say them.
struct Utterance {
  const char* voice;
  const char* text;
};
constexpr std::array<Utterance, 12> kUtterances{{
    {"de",
     "Achtung, hier spricht die Leitstelle. Alle Einheiten bitte melden, wir haben einen "
     "Einsatz in der Hauptstrasse zwoelf."},
    {"de", "Verstanden, wir sind in fuenf Minuten vor Ort. Bitte die Drehleiter nachalarmieren."},
    {"en", "This is the control room calling all units, please report your position and status."},
    {"en", "Roger that, we are on our way, estimated time of arrival ten minutes, over."},
    {"fr", "Ici le centre de secours, toutes les equipes sont priees de se rendre a la caserne."},
    {"es", "Atencion, unidad tres, dirijase al cruce de la avenida principal inmediatamente."},
    {"it", "Qui la centrale operativa, chiediamo a tutte le squadre di confermare la ricezione."},
    {"nl", "Meldkamer aan alle eenheden, graag uw positie en status doorgeven, over."},
    {"pl", "Uwaga, wszystkie jednostki proszone sa o zgloszenie gotowosci do wyjazdu."},
    {"sv", "Larmcentralen anropar alla enheter, vanligen rapportera er position."},
    {"cs", "Pozor, vsechny jednotky, hlaste prosim svou polohu a stav, prepinam."},
    {"en-us", "Station check, one two three four five, how do you read me, over."},
}};
constexpr std::array<const char*, 6> kVariants{"", "+m3", "+f2", "+m7", "+f4", "+klatt"};

bool ReadWav(const std::string& path, std::vector<double>& samples, int& rateHz) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr) {
    return false;
  }
  std::vector<double> interleaved(static_cast<std::size_t>(info.frames) *
                                  static_cast<std::size_t>(info.channels));
  sf_readf_double(file, interleaved.data(), info.frames);
  sf_close(file);
  samples.clear();
  for (std::size_t i = 0; i < interleaved.size(); i += static_cast<std::size_t>(info.channels)) {
    samples.push_back(interleaved[i]);
  }
  rateHz = info.samplerate;
  return true;
}

// An instrument of the band: the strengths of its first harmonics, how its
// notes start and die away, and its vibrato.
struct Instrument {
  std::array<double, 6> harmonics;
  double attackMs;
  double decayMs;  // time constant of a struck or plucked note's decay, 0: held
  double vibratoHz;
  double vibratoDepth;  // relative
  double inharmonic;    // the nth partial sits at n x (1 + inharmonic x n^2)
};
constexpr std::array<Instrument, 7> kInstruments{{
    {{1.0, 0.3, 0.1, 0.0, 0.0, 0.0}, 40.0, 0.0, 5.0, 0.004, 0.0},     // flute
    {{1.0, 0.0, 0.5, 0.0, 0.3, 0.0}, 25.0, 0.0, 0.0, 0.0, 0.0},       // clarinet
    {{1.0, 0.8, 0.6, 0.5, 0.4, 0.3}, 40.0, 0.0, 4.5, 0.003, 0.0},     // brass
    {{1.0, 0.5, 0.33, 0.25, 0.2, 0.16}, 90.0, 0.0, 6.0, 0.006, 0.0},  // strings
    {{1.0, 0.6, 0.4, 0.3, 0.2, 0.1}, 3.0, 350.0, 0.0, 0.0, 0.0},      // plucked string
    {{1.0, 0.5, 0.3, 0.2, 0.1, 0.05}, 4.0, 500.0, 0.0, 0.0, 0.0004},  // piano
    {{1.0, 1.0, 0.5, 0.5, 0.25, 0.0}, 10.0, 0.0, 0.0, 0.0, 0.0},      // organ
}};

// Adds a note of `instrument` to `out` from sample `at`.
void AddNote(std::vector<double>& out, std::size_t at, double hz, double ms, double amplitude,
             const Instrument& instrument, double vibratoPhase) {
  const auto count = std::min(static_cast<std::size_t>(ms * kRate / 1000.0),
                              out.size() > at ? out.size() - at : 0);
  const double attack = std::max(1.0, instrument.attackMs * kRate / 1000.0);
  const double release = std::min(8.0 * kRate / 1000.0, static_cast<double>(count) / 4.0);
  std::array<double, 6> phase{};
  for (std::size_t i = 0; i < count; ++i) {
    const double t = static_cast<double>(i);
    double envelope = std::min({1.0, t / attack, (static_cast<double>(count) - t) / release});
    if (instrument.decayMs > 0.0) {
      envelope *= std::exp(-t / (instrument.decayMs * kRate / 1000.0));
    }
    const double f =
        hz * (1.0 + instrument.vibratoDepth *
                        std::sin(vibratoPhase + kTwoPi * instrument.vibratoHz * t / kRate));
    double v = 0.0;
    for (std::size_t h = 0; h < phase.size(); ++h) {
      const double n = static_cast<double>(h + 1);
      const double partial = f * n * (1.0 + instrument.inharmonic * n * n);
      if (instrument.harmonics[h] == 0.0 || partial >= 0.48 * kRate) {
        continue;
      }
      v += instrument.harmonics[h] * std::sin(phase[h]);
      phase[h] = std::fmod(phase[h] + kTwoPi * partial / kRate, kTwoPi);
    }
    out[at + i] += amplitude * envelope * v;
  }
}
}  // namespace

std::string_view InterferenceName(InterferenceKind kind) {
  switch (kind) {
    case InterferenceKind::kSpeech:
      return "speech";
    case InterferenceKind::kMusic:
      return "music";
    case InterferenceKind::kBand:
      return "band music";
    case InterferenceKind::kFastMelody:
      return "fast melodies";
    case InterferenceKind::kRadio:
      return "radio sounds";
  }
  return "?";
}

bool SpeechSynthesisAvailable() {
  return std::system("espeak-ng --version >/dev/null 2>&1") == 0;
}

InterferenceStream::InterferenceStream(InterferenceKind kind, std::uint32_t seed, double levelDbfs)
    : kind_(kind), rng_(seed), amplitude_(AmplitudeOf(levelDbfs)) {
  if (kind_ != InterferenceKind::kSpeech) {
    return;
  }
  ok_ = SpeechSynthesisAvailable();
  if (!ok_) {
    return;
  }
  std::string name = "sequelo-speech-";
  name += std::to_string(::getpid());
  name += '-';
  name += std::to_string(seed);
  const auto dir = std::filesystem::temp_directory_path() / name;
  std::filesystem::create_directories(dir);
  // Every sentence in several voices, speeds and pitches.
  for (std::size_t u = 0; u < kUtterances.size(); ++u) {
    for (std::size_t v = 0; v < 4; ++v) {
      const int speed = 130 + static_cast<int>(rng_() % 90);
      const int pitch = 20 + static_cast<int>(rng_() % 60);
      std::string file = std::to_string(u * 10 + v);
      file += ".wav";
      const std::string path = (dir / file).string();
      std::string command = "espeak-ng -v ";
      command += kUtterances[u].voice;
      command += kVariants[(u + v) % kVariants.size()];
      command += " -s ";
      command += std::to_string(speed);
      command += " -p ";
      command += std::to_string(pitch);
      command += " -w '";
      command += path;
      command += "' '";
      command += kUtterances[u].text;
      command += "' >/dev/null 2>&1";
      std::vector<double> raw;
      int rateHz = 0;
      if (std::system(command.c_str()) != 0 || !ReadWav(path, raw, rateHz) || raw.empty()) {
        continue;
      }
      std::vector<double> out = audio::ResampleWhole(raw, rateHz, kRate);
      double peak = 0.0;
      for (double s : out) {
        peak = std::max(peak, std::abs(s));
      }
      if (peak > 0.0) {
        for (double& s : out) {
          s /= peak;
        }
        utterances_.push_back(std::move(out));
      }
    }
  }
  std::filesystem::remove_all(dir);
  ok_ = !utterances_.empty();
}

void InterferenceStream::Fill(double* out, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    while (position_ >= piece_.size()) {
      piece_.clear();
      position_ = 0;
      NextPiece();
    }
    out[i] = piece_[position_++];
  }
  // The noise floor.
  std::normal_distribution<double> floor(0.0, AmplitudeOf(-70.0));
  for (std::size_t i = 0; i < n; ++i) {
    out[i] += floor(rng_);
  }
}

void InterferenceStream::NextPiece() {
  switch (kind_) {
    case InterferenceKind::kSpeech:
      Speech();
      break;
    case InterferenceKind::kMusic:
      Music();
      break;
    case InterferenceKind::kBand:
      Band();
      break;
    case InterferenceKind::kFastMelody:
      FastMelody();
      break;
    case InterferenceKind::kRadio:
      Radio();
      break;
  }
}

void InterferenceStream::Pause(double minMs, double maxMs) {
  std::uniform_real_distribution<double> ms(minMs, maxMs);
  piece_.resize(piece_.size() + static_cast<std::size_t>(ms(rng_) * kRate / 1000.0), 0.0);
}

// A note with a short attack and release and some harmonics (0: pure).
void InterferenceStream::Note(double hz, double ms, double amplitude, double harmonics) {
  const auto count = static_cast<std::size_t>(ms * kRate / 1000.0);
  const double ramp = std::min(5.0 * kRate / 1000.0, static_cast<double>(count) / 4.0);
  for (std::size_t i = 0; i < count; ++i) {
    const double t = static_cast<double>(i);
    const double envelope = std::min({1.0, t / ramp, (static_cast<double>(count) - t) / ramp});
    double v = std::sin(phase_);
    if (harmonics > 0.0 && 3.0 * hz < kRate / 2.0) {
      v += harmonics * std::sin(2.0 * phase_) + harmonics * harmonics * std::sin(3.0 * phase_);
    }
    piece_.push_back(amplitude * envelope * v);
    phase_ = std::fmod(phase_ + kTwoPi * hz / kRate, kTwoPi);
  }
}

void InterferenceStream::Glide(double fromHz, double toHz, double ms, double amplitude) {
  const auto count = static_cast<std::size_t>(ms * kRate / 1000.0);
  for (std::size_t i = 0; i < count; ++i) {
    const double hz =
        fromHz + (toHz - fromHz) * static_cast<double>(i) / static_cast<double>(count);
    piece_.push_back(amplitude * std::sin(phase_));
    phase_ = std::fmod(phase_ + kTwoPi * hz / kRate, kTwoPi);
  }
}

// A random frequency in 500..3000 Hz; with probability `onSetShare` a tone of
// ZVEI or DZVEI, sometimes off by up to 1.5 %.
double InterferenceStream::RandomToneHz(double onSetShare) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  if (unit(rng_) < onSetShare) {
    const core::ToneSet& set = *core::BuiltInToneSet(static_cast<int>(rng_() % 2));
    const std::size_t i = rng_() % 12;
    const double hz = i < 10 ? set.digitFreq[i] : (i == 10 ? set.starFreq : set.repeatFreq);
    return unit(rng_) < 0.5 ? hz : hz * (1.0 + 0.03 * (unit(rng_) - 0.5));
  }
  return 500.0 * std::pow(6.0, unit(rng_));
}

void InterferenceStream::Music() {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const double a = amplitude_ * (0.3 + 0.7 * unit(rng_));
  const double harmonics = unit(rng_) * 0.5;
  switch (rng_() % 4) {
    case 0: {  // a chord: notes added over one stretch
      const double ms = 300.0 + 1200.0 * unit(rng_);
      const std::size_t start = piece_.size();
      const int notes = 2 + static_cast<int>(rng_() % 3);
      for (int n = 0; n < notes; ++n) {
        std::vector<double> keep(piece_.begin() + static_cast<std::ptrdiff_t>(start), piece_.end());
        piece_.resize(start);
        Note(RandomToneHz(0.3), ms, a / notes, harmonics);
        for (std::size_t i = 0; i < keep.size() && start + i < piece_.size(); ++i) {
          piece_[start + i] += keep[i];
        }
      }
      break;
    }
    case 1: {  // an arpeggio of three or four notes, played up and down a few times
      std::array<double, 4> chord{};
      for (double& hz : chord) {
        hz = RandomToneHz(0.4);
      }
      const double ms = 60.0 + 140.0 * unit(rng_);
      const int rounds = 2 + static_cast<int>(rng_() % 3);
      for (int r = 0; r < rounds; ++r) {
        for (double hz : chord) {
          Note(hz, ms, a, harmonics);
        }
      }
      break;
    }
    case 2:  // a glide
      Glide(RandomToneHz(0.2), RandomToneHz(0.2), 200.0 + 800.0 * unit(rng_), a);
      break;
    default: {  // a melody of longer notes
      const int notes = 6 + static_cast<int>(rng_() % 15);
      for (int n = 0; n < notes; ++n) {
        Note(RandomToneHz(0.3), 150.0 + 250.0 * unit(rng_), a, harmonics);
        Pause(0.0, 30.0);
      }
      break;
    }
  }
  Pause(200.0, 2000.0);
}

void InterferenceStream::Band() {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  // A tune of a few bars: melody, chords, bass and drums at one tempo, in a
  // major or minor key. A semitone is 5.9 %: some notes fall on or near a
  // tone of the set, as in real music, none on purpose.
  const double beat = 60.0 / (60.0 + 120.0 * unit(rng_)) * kRate;  // samples
  const int bars = 2 + static_cast<int>(rng_() % 5);
  const double swing = unit(rng_) < 0.3 ? 0.15 : 0.0;
  const double root = 110.0 * std::pow(2.0, unit(rng_));  // the bass's key note
  static constexpr std::array<int, 7> kMajor{0, 2, 4, 5, 7, 9, 11};
  static constexpr std::array<int, 7> kMinor{0, 2, 3, 5, 7, 8, 10};
  const auto& scale = unit(rng_) < 0.5 ? kMajor : kMinor;
  const auto degreeHz = [&](int degree) {
    const int octave = degree >= 0 ? degree / 7 : -((6 - degree) / 7);
    const int step = degree - 7 * octave;
    return root * std::pow(2.0, octave + scale[static_cast<std::size_t>(step)] / 12.0);
  };
  const Instrument& lead = kInstruments[rng_() % kInstruments.size()];
  const Instrument& pad = kInstruments[rng_() % kInstruments.size()];
  const double a = amplitude_ * (0.3 + 0.7 * unit(rng_));
  const double leadShare = 0.5 + 0.5 * unit(rng_);
  const double padShare = 0.4 * unit(rng_);
  const double bassShare = 0.5 * unit(rng_);
  const double drumShare = unit(rng_) < 0.7 ? 0.4 * unit(rng_) : 0.0;
  const auto length = static_cast<std::size_t>(bars * 4 * beat);
  std::vector<double> out(length, 0.0);
  const auto at = [&](double beats) {
    const double whole = std::floor(beats);
    double part = beats - whole;
    if (part >= 0.5) {
      part += swing * (1.0 - part) * 2.0;  // the off-beat a little late
    }
    return static_cast<std::size_t>((whole + part) * beat);
  };
  // Melody: a walk over the scale two or three octaves above the key.
  static constexpr std::array<double, 5> kLengths{0.5, 0.5, 1.0, 1.0, 2.0};
  int degree = 14 + static_cast<int>(rng_() % 10);
  for (double b = 0.0; b < bars * 4.0;) {
    const double beats = std::min(
        kLengths[rng_() % kLengths.size()] * (unit(rng_) < 0.2 ? 0.5 : 1.0), bars * 4.0 - b);
    degree = std::clamp(degree + static_cast<int>(rng_() % 5) - 2, 10, 28);
    if (unit(rng_) < 0.9) {
      AddNote(out, at(b), degreeHz(degree), beats * beat * 1000.0 / kRate * 0.95, a * leadShare,
              lead, kTwoPi * unit(rng_));
    }
    b += beats;
  }
  for (int bar = 0; bar < bars; ++bar) {
    // Chords: a triad a bar, an octave or two above the key; bass on the
    // beats.
    const int chord = static_cast<int>(rng_() % 7);
    for (int n = 0; n < 3 && padShare > 0.0; ++n) {
      AddNote(out, at(bar * 4.0), degreeHz(7 + chord + 2 * n), 4.0 * beat * 1000.0 / kRate,
              a * padShare / 3.0, pad, kTwoPi * unit(rng_));
    }
    for (int b = 0; b < 4 && bassShare > 0.0; ++b) {
      AddNote(out, at(bar * 4.0 + b), degreeHz(chord + (b % 2 == 1 ? 4 : 0)),
              0.9 * beat * 1000.0 / kRate, a * bassShare, kInstruments[4], 0.0);
    }
    // Drums: a kick on 1 and 3, a snare on 2 and 4, a hi-hat on the
    // eighths (noise, the hi-hat's made brighter by differencing).
    for (int e = 0; e < 8 && drumShare > 0.0; ++e) {
      const std::size_t from = at(bar * 4.0 + e / 2.0);
      const bool kick = e % 4 == 0;
      const bool snare = e % 4 == 2;
      const double decay = (kick ? 0.08 : snare ? 0.12 : 0.03) * kRate;
      std::normal_distribution<double> noise(0.0, 1.0);
      double previous = 0.0;
      for (std::size_t i = 0; i < static_cast<std::size_t>(4.0 * decay) && from + i < length; ++i) {
        const double t = static_cast<double>(i);
        const double n = noise(rng_);
        double v = snare ? n : n - previous;
        previous = n;
        if (kick) {
          v = std::sin(kTwoPi * (50.0 * t + 60.0 * decay * (1.0 - std::exp(-t / decay))) / kRate) +
              0.2 * n;
        }
        out[from + i] += a * drumShare * (kick ? 1.0 : 0.5) * std::exp(-t / decay) * v;
      }
    }
  }
  // A crescendo or a fade now and then.
  const double fadeFrom = unit(rng_) < 0.3 ? 0.3 + 0.7 * unit(rng_) : 1.0;
  for (std::size_t i = 0; i < length; ++i) {
    const double x = static_cast<double>(i) / static_cast<double>(length);
    piece_.push_back(out[i] * (fadeFrom + (1.0 - fadeFrom) * x));
  }
  Pause(100.0, 1500.0);
}

void InterferenceStream::FastMelody() {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const double a = amplitude_ * (0.3 + 0.7 * unit(rng_));
  const int notes = 3 + static_cast<int>(rng_() % 14);
  const double baseMs = 40.0 + 160.0 * unit(rng_);
  for (int n = 0; n < notes; ++n) {
    Note(RandomToneHz(0.5), std::clamp(baseMs * (0.7 + 0.6 * unit(rng_)), 40.0, 200.0), a, 0.0);
    if (unit(rng_) < 0.3) {
      Pause(0.0, 30.0);
    }
  }
  Pause(100.0, 1500.0);
}

void InterferenceStream::Radio() {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const double a = amplitude_ * (0.3 + 0.7 * unit(rng_));
  switch (rng_() % 9) {
    case 0: {  // alternating two-tone wake signal
      const double hz1 = RandomToneHz(0.5);
      const double hz2 = RandomToneHz(0.5);
      const double ms = 50.0 + 100.0 * unit(rng_);
      const int tones = 6 + static_cast<int>(rng_() % 30);
      for (int t = 0; t < tones; ++t) {
        Note(t % 2 == 0 ? hz1 : hz2, ms, a, 0.0);
      }
      break;
    }
    case 1: {  // siren: wail or yelp between two pitches
      const double low = 500.0 + 400.0 * unit(rng_);
      const double high = low * (1.5 + unit(rng_));
      const double periodMs = 200.0 + 3000.0 * unit(rng_);
      const int periods = 1 + static_cast<int>(6000.0 / periodMs);
      for (int p = 0; p < periods; ++p) {
        Glide(low, high, periodMs / 2.0, a);
        Glide(high, low, periodMs / 2.0, a);
      }
      break;
    }
    case 2:  // steady tone
      Note(RandomToneHz(0.5), 1000.0 + 4000.0 * unit(rng_), a, 0.0);
      break;
    case 3: {  // DTMF digits
      const int digits = 4 + static_cast<int>(rng_() % 9);
      const double ms = 50.0 + 50.0 * unit(rng_);
      for (int d = 0; d < digits; ++d) {
        const double lowHz = kDtmfLow[rng_() % 4];
        const double highHz = kDtmfHigh[rng_() % 4];
        const std::size_t start = piece_.size();
        Note(lowHz, ms, a / 2, 0.0);
        std::vector<double> low(piece_.begin() + static_cast<std::ptrdiff_t>(start), piece_.end());
        piece_.resize(start);
        Note(highHz, ms, a / 2, 0.0);
        for (std::size_t i = 0; i < low.size() && start + i < piece_.size(); ++i) {
          piece_[start + i] += low[i];
        }
        Pause(50.0, 100.0);
      }
      break;
    }
    case 4: {  // squelch tail: a burst of loud noise
      std::normal_distribution<double> noise(0.0, a);
      const auto count = static_cast<std::size_t>((100.0 + 200.0 * unit(rng_)) * kRate / 1000.0);
      for (std::size_t i = 0; i < count; ++i) {
        piece_.push_back(noise(rng_));
      }
      break;
    }
    case 5: {  // mains hum with harmonics, slightly clipped
      const double hz = unit(rng_) < 0.5 ? 50.0 : 60.0;
      const auto count = static_cast<std::size_t>((2000.0 + 3000.0 * unit(rng_)) * kRate / 1000.0);
      for (std::size_t i = 0; i < count; ++i) {
        const double t = static_cast<double>(i) / kRate;
        double v = std::sin(kTwoPi * hz * t) + 0.3 * std::sin(kTwoPi * 3 * hz * t) +
                   0.1 * std::sin(kTwoPi * 5 * hz * t);
        piece_.push_back(a * std::clamp(v, -0.9, 0.9));
      }
      break;
    }
    case 6:  // sub-audible tone (CTCSS)
      Note(67.0 + 183.0 * unit(rng_), 2000.0 + 3000.0 * unit(rng_), a, 0.0);
      break;
    default: {  // a five-tone call of another tone set
      const int which = static_cast<int>(rng_() % 3);
      const auto& table = which == 2 ? kEia : kCcir;
      const double ms = which == 0 ? 100.0 : (which == 1 ? 40.0 : 33.0);
      for (int t = 0; t < 5; ++t) {
        Note(table[rng_() % 10], ms, a, 0.0);
      }
      break;
    }
  }
  Pause(300.0, 2000.0);
}

void InterferenceStream::Speech() {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  if (utterances_.empty()) {
    Pause(1000.0, 1000.0);
    return;
  }
  const auto& u = utterances_[rng_() % utterances_.size()];
  const double a = amplitude_ * (0.3 + 0.7 * unit(rng_));
  for (double s : u) {
    piece_.push_back(a * s);
  }
  Pause(100.0, 1500.0);
}

std::vector<double> BusyStretch(InterferenceStream& stream, std::size_t samples,
                                double toneAmplitude, double powerRatio) {
  std::vector<double> out(samples, 0.0);
  // Take the first stretch that is busy throughout: at least 70 % of its
  // 50 ms windows hold a tenth of the stretch's mean power (a pause between
  // two pieces would otherwise leave the call in the clear).
  constexpr std::size_t kWindow = 300;
  double power = 0.0;
  for (int attempt = 0; attempt < 400; ++attempt) {
    stream.Fill(out.data(), out.size());
    power = 0.0;
    for (double s : out) {
      power += s * s;
    }
    power /= static_cast<double>(std::max<std::size_t>(1, samples));
    std::size_t windows = 0;
    std::size_t busy = 0;
    for (std::size_t start = 0; start + kWindow <= samples; start += kWindow, ++windows) {
      double p = 0.0;
      for (std::size_t i = start; i < start + kWindow; ++i) {
        p += out[i] * out[i];
      }
      busy += p / kWindow >= 0.1 * power ? 1 : 0;
    }
    if (power > 0.0 && busy * 10 >= windows * 7) {
      break;
    }
  }
  const double wanted = powerRatio * toneAmplitude * toneAmplitude / 2.0;
  const double gain = power > 0.0 ? std::sqrt(wanted / power) : 0.0;
  for (double& s : out) {
    s *= gain;
  }
  return out;
}

}  // namespace sequelo::testsupport
