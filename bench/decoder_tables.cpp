// The decoders side by side on generated signals: sensitivity (share of
// random calls decoded against white noise, tone power over noise power in
// 0..3000 Hz), frequency offset, level, tone length, false codes in hours of
// noise and of interference, how soon a code comes after its call, and every
// tone set at its own tone length (the standard decoder knows ZVEI and DZVEI
// only), and one tone moved across the gap between two of the standard
// decoder's analysis bins. Both of our decoders, and multimon-ng where installed (the same
// 6000 Hz signal, resampled to 22050 Hz, one call per run).
//
// Usage: sequelo-decoder-tables [CALLS [HOURS [TABLES]]]
//   CALLS calls per point (default 300), HOURS of noise and of each kind of
//   interference (default 1), TABLES any of "sensitivity,offset,level,length,
//   false,latency,sets,between,memory" (default: these) and of the enhanced
//   decoder's own "weak,embedded,wrong,misses" (weak calls of every set
//   against the ideal receiver, calls through speech and music, wrong codes
//   among 10 x CALLS weak calls per set, missed calls by reason).
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/resampler.h"
#include "core/whole_call_search.h"
#include "tests/support/call_scoring.h"
#include "tests/support/interference.h"
#include "tests/support/signal_generator.h"

namespace {

using namespace sequelo;
using testsupport::BatchScore;
using testsupport::CallBatch;

std::string ModeName(int mode) {
  return std::string(core::kModeNames[static_cast<std::size_t>(mode)]);
}

bool MultimonAvailable() {
  return std::system("command -v multimon-ng >/dev/null 2>&1") == 0;
}

// multimon-ng's name of each of our sets and the letters it prints for our
// '*' and our repeat tone (the repeat letter stands for the character before
// it; '\0' where it prints none). In DZVEI it prints 2400 Hz ('*') as 'E' and
// does not know the 810 Hz repeat tone (its nearest tone, A, is 825 Hz); in
// PZVEI it knows neither 2400 Hz ('0') nor 2600 Hz (the repeat tone). Any
// other letter is kept, and counts as a wrong code.
struct PeerLetters {
  const char* name;
  char star;
  char repeat;
};

PeerLetters PeerSet(int mode) {
  static constexpr std::array<PeerLetters, core::kModeNames.size()> kSets{{{"ZVEI1", 'A', 'E'},
                                                                           {"DZVEI", 'E', '\0'},
                                                                           {"ZVEI2", 'A', 'F'},
                                                                           {"ZVEI3", 'A', 'F'},
                                                                           {"PZVEI", 'A', '\0'},
                                                                           {"CCIR", 'A', 'E'},
                                                                           {"EEA", 'A', 'E'},
                                                                           {"EIA", 'A', 'E'}}};
  return kSets[static_cast<std::size_t>(mode)];
}

std::string PeerCode(const std::string& text, int mode) {
  const PeerLetters letters = PeerSet(mode);
  std::string code;
  for (char c : text) {
    if (c == letters.repeat) {
      code.push_back(code.empty() ? 'R' : code.back());
    } else if (c == letters.star) {
      code.push_back('*');
    } else if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) {
      code.push_back(c);
    }
  }
  return code;
}

// The same batch through multimon-ng, one call per run.
BatchScore ScorePeer(const CallBatch& batch) {
  BatchScore score;
  const auto path = std::filesystem::temp_directory_path() /
                    ("sequelo-tables-" + std::to_string(::getpid()) + ".raw");
  const std::string mode = PeerSet(batch.modeIndex).name;
  std::uint32_t codeState = testsupport::BatchCodeState(batch);
  for (int i = 0; i < batch.calls; ++i) {
    const testsupport::CallSignal call = testsupport::BatchCall(batch, i, codeState);
    const auto pcm =
        testsupport::ToPcm16(audio::ResampleWhole(testsupport::MakeCall(call), 6000, 22050));
    {
      std::ofstream out(path, std::ios::binary);
      out.write(reinterpret_cast<const char*>(pcm.data()),
                static_cast<std::streamsize>(pcm.size() * sizeof(std::int16_t)));
    }
    const std::string command =
        "multimon-ng -q -c -a " + mode + " -t raw '" + path.string() + "' 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    bool found = false;
    char line[256];
    while (pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr) {
      std::string text(line);
      const auto colon = text.find(':');
      if (colon == std::string::npos) {
        continue;
      }
      const std::string code = PeerCode(text.substr(colon + 1), batch.modeIndex);
      if (code.empty()) {
        continue;
      }
      found = found || code == call.code;
      score.wrong += code == call.code ? 0 : 1;
    }
    if (pipe != nullptr) {
      ::pclose(pipe);
    }
    ++score.calls;
    score.decoded += found ? 1 : 0;
  }
  std::filesystem::remove(path);
  return score;
}

struct Row {
  std::string label;
  CallBatch batch;
};

// `standard` false: the standard decoder does not know the row's set, "-".
void PrintTable(const char* title, const std::vector<Row>& rows, bool peer,
                const std::function<bool(const Row&)>& standard = nullptr) {
  std::printf("\n== %s\n%-28s %18s %18s", title, "", "standard", "enhanced");
  if (peer) {
    std::printf(" %18s", "multimon-ng");
  }
  std::printf("\n%-28s %18s %18s", "", "decoded / wrong", "decoded / wrong");
  if (peer) {
    std::printf(" %18s", "decoded / wrong");
  }
  std::printf("\n");
  for (const Row& row : rows) {
    std::printf("%-28s", row.label.c_str());
    for (int which = 0; which < (peer ? 3 : 2); ++which) {
      if (which == 0 && standard && !standard(row)) {
        std::printf(" %18s", "-");
        continue;
      }
      const BatchScore s =
          which == 2 ? ScorePeer(row.batch)
                     : testsupport::ScoreCalls(which == 0 ? core::DecoderChoice::kStandard
                                                          : core::DecoderChoice::kEnhanced,
                                               row.batch);
      std::printf(" %9.1f%% / %5d", 100.0 * s.Share(), s.wrong);
    }
    std::printf("\n");
    std::fflush(stdout);
  }
}

std::string Fixed(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// The ideal receiver that knows the call's timing and frequency: each tone
// measured over exactly its span at every tone of the call alphabet
// (digits, '*', the repeat tone), the strongest taken. `share` is the share
// of a batch's calls it gets right. A decoder that must not give wrong codes
// cannot take every strongest tone: `gated` is the share it gets right when
// it too reports a call only if the chance that the code is wrong is below
// the search's gate (by the search's estimate, the per-tone SNR g not
// known), `gatedKnownSnr` the same with g known exactly, and `gatedWrong`
// the wrong codes that pass with g known.
struct IdealScore {
  double share = 0.0, gated = 0.0, gatedKnownSnr = 0.0;
  int gatedWrong = 0;
};

IdealScore Ideal(const CallBatch& batch) {
  const core::ToneSet& set = *core::BuiltInToneSet(batch.modeIndex);
  std::vector<double> alphabet(set.digitFreq.begin(), set.digitFreq.end());
  alphabet.push_back(set.starFreq);
  alphabet.push_back(set.repeatFreq);
  std::uint32_t codeState = testsupport::BatchCodeState(batch);
  IdealScore score;
  for (int i = 0; i < batch.calls; ++i) {
    const auto call = testsupport::BatchCall(batch, i, codeState);
    const auto samples = testsupport::MakeCall(call);
    std::array<std::int32_t, core::kMaxSequenceTones> sent{};
    const int count = core::SequenceTones(set, call.code, sent);
    const auto lead = static_cast<std::size_t>(std::llround(call.leadMs * 6.0));
    const auto length = static_cast<std::size_t>(std::llround(call.toneMs * 6.0));
    // W of every tone of the alphabet in every slot (as the search measures
    // it: against the energy of the same samples), the strongest decided.
    std::vector<std::vector<double>> w(static_cast<std::size_t>(count));
    std::vector<std::size_t> decided(static_cast<std::size_t>(count));
    bool right = true;
    for (std::size_t k = 0; k < decided.size(); ++k) {
      const double* x = samples.data() + lead + k * length;
      double energy = 0.0;
      for (std::size_t n = 0; n < length; ++n) {
        energy += x[n] * x[n];
      }
      for (double hz : alphabet) {
        double re = 0.0;
        double im = 0.0;
        for (std::size_t n = 0; n < length; ++n) {
          const double phase = 2.0 * 3.141592653589793 * hz * static_cast<double>(n) / 6000.0;
          re += x[n] * std::cos(phase);
          im -= x[n] * std::sin(phase);
        }
        w[k].push_back((re * re + im * im) / energy);
      }
      decided[k] =
          static_cast<std::size_t>(std::max_element(w[k].begin(), w[k].end()) - w[k].begin());
      right = right && alphabet[decided[k]] == sent[k];
    }
    score.share += right ? 1.0 : 0.0;
    // The chance that the code is wrong, as the search estimates it: each
    // slot's chance that another tone was sent (not a neighbour's: a tone
    // never follows itself).
    const auto chanceWrong = [&](const core::search::CodeOdds& odds) {
      for (std::size_t k = 1; k < decided.size(); ++k) {
        if (decided[k] == decided[k - 1]) {
          return 1.0;
        }
      }
      return odds.ChanceWrong(
          static_cast<int>(alphabet.size()),
          [&](std::size_t k, int t) { return w[k][static_cast<std::size_t>(t)]; },
          [&](std::size_t k, int t) {
            const auto u = static_cast<std::size_t>(t);
            return u != decided[k] && (k == 0 || u != decided[k - 1]) &&
                   (k + 1 == decided.size() || u != decided[k + 1]);
          });
    };
    if (count != core::search::kSlots) {
      continue;  // (five-tone calls only, as the search)
    }
    std::array<double, core::search::kSlots> q{};
    for (std::size_t k = 0; k < q.size(); ++k) {
      q[k] = w[k][decided[k]];
    }
    const double knownG = static_cast<double>(length) / 2.0 * std::pow(10.0, call.snrDb / 10.0);
    if (chanceWrong(core::search::CodeOdds(q)) <= core::search::kErrorGate) {
      score.gated += right ? 1.0 : 0.0;
    }
    if (chanceWrong(core::search::CodeOdds(q, knownG)) <= core::search::kErrorGate) {
      score.gatedKnownSnr += right ? 1.0 : 0.0;
      score.gatedWrong += right ? 0 : 1;
    }
  }
  score.share /= batch.calls;
  score.gated /= batch.calls;
  score.gatedKnownSnr /= batch.calls;
  return score;
}

// The SNR at which `share` of the points (SNR, share; SNR falling) reaches
// 90 %, interpolated; NaN when no point does.
double NinetyPercentPoint(const std::vector<std::pair<double, double>>& points) {
  for (std::size_t i = 1; i < points.size(); ++i) {
    const auto [snrA, a] = points[i - 1];
    const auto [snrB, b] = points[i];
    if (a >= 0.9 && b < 0.9) {
      return snrA + (snrB - snrA) * (a - 0.9) / (a - b);
    }
  }
  return points.empty() || points.back().second < 0.9 ? std::nan("") : points.back().first;
}

}  // namespace

int main(int argc, char** argv) {
  const int calls = argc > 1 ? std::atoi(argv[1]) : 300;
  const double hours = argc > 2 ? std::atof(argv[2]) : 1.0;
  const std::string tables =
      argc > 3 ? argv[3] : "sensitivity,offset,level,length,false,latency,sets,between,memory";
  if (calls <= 0 || hours <= 0) {
    std::fprintf(stderr, "usage: sequelo-decoder-tables [CALLS [HOURS [TABLES]]]\n");
    return 2;
  }
  const auto wants = [&](const char* name) { return tables.find(name) != std::string::npos; };
  const bool peer = MultimonAvailable();
  std::printf("%d calls per point (random codes, 70 ms tones unless said, -20 dBFS); %s\n", calls,
              peer ? "multimon-ng found" : "multimon-ng not installed");

  if (wants("sensitivity")) {
    for (int mode : {core::kModeZvei, core::kModeDzvei}) {
      std::vector<Row> rows;
      for (double snr :
           {-10.0, -9.0, -8.0, -7.0, -6.0, -4.0, -2.0, 0.0, 3.0, 6.0, 10.0, 13.0, 16.0, 20.0}) {
        CallBatch b;
        b.modeIndex = mode;
        b.snrDb = snr;
        b.calls = calls;
        b.seed = 1000 + static_cast<std::uint32_t>(snr + 100);
        rows.push_back({ModeName(mode) + Fixed(" SNR %+.0f dB", snr), b});
      }
      PrintTable(("Sensitivity, " + ModeName(mode)).c_str(), rows, peer);
    }
  }
  if (wants("weak")) {
    // Every set at its own tone length down to where calls are lost, against
    // the ideal receiver that knows the timing, as it is and held to the
    // search's gate; the 90 % points of all.
    std::printf(
        "\n== Weak calls, every set at its own tone length (enhanced decoder; ideal: knows "
        "the timing; gated: reports only below the error gate, g estimated / known)\n"
        "%-28s %18s %10s %10s %16s\n%-28s %18s %10s %10s %16s\n",
        "", "enhanced", "ideal", "gated", "gated, g known", "", "decoded / wrong", "decoded",
        "decoded", "decoded / wrong");
    for (int mode = 0; mode < static_cast<int>(core::kModeNames.size()); ++mode) {
      const double toneMs = core::BuiltInToneSet(mode)->toneMs;
      std::vector<std::pair<double, double>> ours;
      std::vector<std::pair<double, double>> ideal;
      std::vector<std::pair<double, double>> gated;
      std::vector<std::pair<double, double>> gatedKnown;
      int wrong = 0;
      for (double snr = -6.0; snr >= -16.0; snr -= 1.0) {
        CallBatch b;
        b.modeIndex = mode;
        b.toneMs = toneMs;
        b.snrDb = snr;
        b.calls = calls;
        b.seed = 9000 + 100 * static_cast<std::uint32_t>(mode) + static_cast<std::uint32_t>(-snr);
        const BatchScore score = testsupport::ScoreCalls(core::DecoderChoice::kEnhanced, b);
        const IdealScore best = Ideal(b);
        ours.emplace_back(snr, score.Share());
        ideal.emplace_back(snr, best.share);
        gated.emplace_back(snr, best.gated);
        gatedKnown.emplace_back(snr, best.gatedKnownSnr);
        wrong += score.wrong;
        std::printf(
            "%-28s %9.1f%% / %5d %9.1f%% %9.1f%% %9.1f%% / %4d\n",
            (ModeName(mode) + Fixed(" %.0f ms", toneMs) + Fixed(" SNR %+.0f dB", snr)).c_str(),
            100.0 * score.Share(), score.wrong, 100.0 * best.share, 100.0 * best.gated,
            100.0 * best.gatedKnownSnr, best.gatedWrong);
        std::fflush(stdout);
      }
      // The sender off by the most the set allows (half the closest tone
      // spacing: 3 % for the ZVEI family, 2.25 % for the others), at -8 dB.
      const double range = mode <= core::kModePzvei ? 3.0 : 2.25;
      for (double percent : {-range, range}) {
        CallBatch b;
        b.modeIndex = mode;
        b.toneMs = toneMs;
        b.snrDb = -8.0;
        b.offsetRelative = percent / 100.0;
        b.calls = calls;
        b.seed = 9050 + 100 * static_cast<std::uint32_t>(mode) + (percent > 0 ? 1U : 0U);
        const BatchScore score = testsupport::ScoreCalls(core::DecoderChoice::kEnhanced, b);
        wrong += score.wrong;
        std::printf("%-28s %9.1f%% / %5d\n",
                    (ModeName(mode) + Fixed(" %+.2f %% -8 dB", percent)).c_str(),
                    100.0 * score.Share(), score.wrong);
      }
      const double oursAt = NinetyPercentPoint(ours);
      const double idealAt = NinetyPercentPoint(ideal);
      const double gatedAt = NinetyPercentPoint(gated);
      std::printf(
          "%-28s 90 %% at %+.1f dB (ideal %+.1f dB, %.1f dB from it; gated %+.1f dB, %.1f dB "
          "from it; g known %+.1f dB), %d wrong\n",
          (ModeName(mode) + " 90 % point").c_str(), oursAt, idealAt, oursAt - idealAt, gatedAt,
          oursAt - gatedAt, NinetyPercentPoint(gatedKnown), wrong);
    }
  }
  if (wants("wrong")) {
    // Wrong codes among many weak calls: 10 x CALLS calls per set, spread
    // evenly over -6 .. -12 dB.
    std::printf("\n== Wrong codes among %d calls per set spread over -6 .. -12 dB (enhanced)\n",
                10 * calls);
    for (int mode = 0; mode < static_cast<int>(core::kModeNames.size()); ++mode) {
      int wrong = 0;
      int decoded = 0;
      for (int point = 0; point < 7; ++point) {
        CallBatch b;
        b.modeIndex = mode;
        b.toneMs = core::BuiltInToneSet(mode)->toneMs;
        b.snrDb = -6.0 - point;
        b.calls = 10 * calls / 7 + (point < 10 * calls % 7 ? 1 : 0);
        b.seed = 12000 + 100 * static_cast<std::uint32_t>(mode) + static_cast<std::uint32_t>(point);
        const BatchScore score = testsupport::ScoreCalls(core::DecoderChoice::kEnhanced, b);
        wrong += score.wrong;
        decoded += score.decoded;
      }
      std::printf("%-10s %6d decoded, %3d wrong\n", ModeName(mode).c_str(), decoded, wrong);
      std::fflush(stdout);
    }
  }
  if (wants("misses")) {
    // Why calls were missed: the reason of each missed call's strongest
    // candidate, from the analysis lines (ZVEI at -11 dB, music at +6 dB).
    for (int which = 0; which < 2; ++which) {
      CallBatch b;
      b.snrDb = which == 0 ? -11.0 : 30.0;
      if (which == 1) {
        b.interference = static_cast<int>(testsupport::InterferenceKind::kMusic);
        b.sirDb = 0.0;
      }
      b.calls = calls;
      b.seed = 9900 + static_cast<std::uint32_t>(which);
      std::optional<testsupport::InterferenceStream> stream;
      if (b.interference >= 0) {
        stream.emplace(static_cast<testsupport::InterferenceKind>(b.interference), b.seed);
      }
      std::map<std::string, int> reasons;
      std::uint32_t codeState = testsupport::BatchCodeState(b);
      for (int i = 0; i < b.calls; ++i) {
        const auto call = testsupport::BatchCall(b, i, codeState);
        auto samples = testsupport::MakeCall(call);
        if (stream) {
          const auto through = testsupport::BusyStretch(
              *stream, samples.size(), testsupport::AmplitudeOf(call.levelDbfs), 0.25);
          for (std::size_t n = 0; n < samples.size(); ++n) {
            samples[n] += through[n];
          }
        }
        std::vector<std::string> lines;
        const auto codes = testsupport::CodesOf(testsupport::DecodeMono6000With(
            core::DecoderChoice::kEnhanced, samples, b.modeIndex, &lines));
        if (std::find(codes.begin(), codes.end(), call.code) != codes.end()) {
          continue;
        }
        std::string why = "no candidate with the code's tones";
        std::string tones;
        for (char c : call.code) {
          tones += tones.empty() ? std::string(1, c) : std::string(" ") + c;
        }
        for (const auto& line : lines) {
          const auto at = line.find("rejected, ");
          if (at != std::string::npos && line.find(tones) != std::string::npos) {
            why = line.substr(at + 10, line.find(':', at) - at - 10);
          }
        }
        ++reasons[why];
      }
      std::printf("\n== Missed calls by reason, %s\n",
                  which == 0 ? "ZVEI -11 dB" : "ZVEI in music +6 dB");
      for (const auto& [why, count] : reasons) {
        std::printf("%5d  %s\n", count, why.c_str());
      }
    }
  }
  if (wants("embedded")) {
    // Calls heard through speech and music running through the whole signal.
    std::printf(
        "\n== Calls through speech, music and band music (ZVEI and CCIR; signal to interference: "
        "tone power "
        "over the interference's mean power)\n%-28s %18s\n%-28s %18s\n",
        "", "enhanced", "", "decoded / wrong");
    for (auto kind : {testsupport::InterferenceKind::kSpeech, testsupport::InterferenceKind::kMusic,
                      testsupport::InterferenceKind::kBand}) {
      if (kind == testsupport::InterferenceKind::kSpeech &&
          !testsupport::SpeechSynthesisAvailable()) {
        std::printf("speech: espeak-ng not installed\n");
        continue;
      }
      for (int mode : {core::kModeZvei, core::kModeCcir}) {
        for (double sir : {10.0, 6.0, 3.0, 0.0}) {
          const CallBatch b =
              testsupport::ThroughInterference(mode, static_cast<int>(kind), sir, calls, 9500);
          const BatchScore score = testsupport::ScoreCalls(core::DecoderChoice::kEnhanced, b);
          std::printf("%-28s %9.1f%% / %5d\n",
                      (std::string(InterferenceName(kind)) + " " + ModeName(mode) +
                       Fixed(" SIR %+.0f dB", sir))
                          .c_str(),
                      100.0 * score.Share(), score.wrong);
          std::fflush(stdout);
        }
      }
    }
  }
  if (wants("offset")) {
    for (double snr : {0.0, 20.0}) {
      std::vector<Row> rows;
      for (double percent : {-4.0, -3.5, -3.0, -2.0, -1.5, -1.0, -0.5, -0.25, 0.0, 0.25, 0.5, 1.0,
                             1.5, 2.0, 3.0, 3.5, 4.0}) {
        CallBatch b;
        b.snrDb = snr;
        b.offsetRelative = percent / 100.0;
        b.calls = calls;
        b.seed = 2000 + static_cast<std::uint32_t>(percent * 4 + 100);
        rows.push_back({Fixed("ZVEI offset %+.2f %%", percent), b});
      }
      PrintTable(Fixed("Frequency offset, ZVEI, SNR %.0f dB", snr).c_str(), rows, peer);
    }
  }
  if (wants("level")) {
    std::vector<Row> rows;
    for (double level : {-6.0, -10.0, -20.0, -30.0, -40.0, -50.0, -60.0, -70.0, -80.0}) {
      CallBatch b;
      b.snrDb = 20.0;
      b.levelDbfs = level;
      b.calls = calls;
      b.seed = 3000 + static_cast<std::uint32_t>(-level);
      rows.push_back({Fixed("ZVEI %.0f dBFS", level), b});
    }
    PrintTable("Level, ZVEI, SNR 20 dB", rows, peer);
  }
  if (wants("length")) {
    std::vector<Row> rows;
    for (int mode : {core::kModeZvei, core::kModeDzvei}) {
      for (double ms : {40.0, 60.0, 70.0, 100.0}) {
        CallBatch b;
        b.modeIndex = mode;
        b.snrDb = -6.0;
        b.toneMs = ms;
        b.calls = calls;
        b.seed = 4000 + static_cast<std::uint32_t>(ms) + 1000U * static_cast<std::uint32_t>(mode);
        rows.push_back({ModeName(mode) + Fixed(" %.0f ms tones", ms), b});
      }
    }
    PrintTable("Tone length, SNR -6 dB", rows, peer);
  }
  if (wants("false")) {
    std::printf("\n== False codes (ZVEI and DZVEI each), per %.1f h\n%-28s %10s %10s\n", hours, "",
                "standard", "enhanced");
    const auto run =
        [&](const char* label,
            const std::function<void(int, std::uint32_t, double*, std::size_t)>& make) {
          std::printf("%-28s", label);
          for (auto choice : {core::DecoderChoice::kStandard, core::DecoderChoice::kEnhanced}) {
            std::size_t codes = 0;
            for (int mode : {core::kModeZvei, core::kModeDzvei}) {
              std::uint32_t seed = 77;
              std::function<void(double*, std::size_t)> fill =
                  [&, mode](double* out, std::size_t n) { make(mode, seed, out, n); };
              codes += testsupport::FeedAudio(choice, mode, hours * 3600.0, fill).size();
            }
            std::printf(" %10zu", codes);
          }
          std::printf("\n");
          std::fflush(stdout);
        };
    {
      testsupport::FastGaussian g(11);
      run("white noise -20 dBFS", [&](int, std::uint32_t, double* out, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
          out[i] = 0.1 * g.Next();
        }
      });
    }
    {
      testsupport::FastGaussian g(12);
      run("near-silence (+-1 LSB)", [&](int, std::uint32_t, double* out, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
          out[i] = 0.7 * g.Next() / 32768.0;
        }
      });
    }
    for (auto kind :
         {testsupport::InterferenceKind::kSpeech, testsupport::InterferenceKind::kMusic,
          testsupport::InterferenceKind::kBand, testsupport::InterferenceKind::kFastMelody,
          testsupport::InterferenceKind::kRadio}) {
      testsupport::InterferenceStream zvei(kind, 21);
      testsupport::InterferenceStream dzvei(kind, 22);
      if (!zvei.Ok()) {
        std::printf("%-28s (espeak-ng not installed)\n",
                    std::string(InterferenceName(kind)).c_str());
        continue;
      }
      run(std::string(InterferenceName(kind)).c_str(),
          [&](int mode, std::uint32_t, double* out, std::size_t n) {
            (mode == core::kModeZvei ? zvei : dzvei).Fill(out, n);
          });
    }
  }
  if (wants("latency")) {
    std::printf(
        "\n== From the end of the last tone to the end of the buffer with the code (ms)\n"
        "%-28s %22s %22s\n%-28s %22s %22s\n",
        "", "standard", "enhanced", "", "mean / max / calls", "mean / max / calls");
    for (int mode : {core::kModeZvei, core::kModeDzvei}) {
      for (double snr : {20.0, 0.0, -6.0, -10.0}) {
        std::printf("%-28s", (ModeName(mode) + Fixed(" SNR %+.0f dB", snr)).c_str());
        for (auto choice : {core::DecoderChoice::kStandard, core::DecoderChoice::kEnhanced}) {
          double sum = 0.0;
          double worst = 0.0;
          int decoded = 0;
          std::uint32_t codeState = 4242;
          for (int i = 0; i < calls; ++i) {
            testsupport::CallSignal call;
            call.code = testsupport::RandomCode(codeState);
            call.modeIndex = mode;
            call.levelDbfs = -20;
            call.snrDb = snr;
            call.seed = 7000U + static_cast<std::uint32_t>(i);
            call.leadMs = 300.0 + 1.3 * (i % 17);
            call.trailMs = 1000;
            for (const auto& d :
                 testsupport::DecodeMono6000With(choice, testsupport::MakeCall(call), mode)) {
              if (d.code != call.code) {
                continue;
              }
              const double ms = static_cast<double>((d.buffer + 1) * core::kBufferFrames) * 1000.0 /
                                    core::kCaptureRateHz -
                                (call.leadMs + 5 * call.toneMs);
              sum += ms;
              worst = std::max(worst, ms);
              ++decoded;
              break;
            }
          }
          std::printf(" %7.0f / %4.0f / %5d", decoded > 0 ? sum / decoded : 0.0, worst, decoded);
        }
        std::printf("\n");
        std::fflush(stdout);
      }
    }
  }
  if (wants("sets")) {
    // Every set at its own tone length: the SNR points, then the sender 2 %
    // off at SNR 20 dB.
    std::vector<Row> rows;
    for (int mode = 0; mode < static_cast<int>(core::kModeNames.size()); ++mode) {
      const double toneMs = core::BuiltInToneSet(mode)->toneMs;
      const std::string name = ModeName(mode) + Fixed(" %.0f ms", toneMs);
      std::uint32_t point = 0;
      const auto add = [&](const std::string& label, double snr, double percent,
                           double speedPercent = 0.0) {
        CallBatch b;
        b.modeIndex = mode;
        b.toneMs = toneMs;
        b.snrDb = snr;
        b.offsetRelative = percent / 100.0;
        b.speedRelative = speedPercent / 100.0;
        b.radioBand = speedPercent != 0.0;
        b.calls = calls;
        b.seed = 8000 + 100 * static_cast<std::uint32_t>(mode) + point++;
        rows.push_back({name + label, b});
      };
      for (double snr : {0.0, -3.0, -6.0, -8.0}) {
        add(Fixed(" SNR %+.0f dB", snr), snr, 0.0);
      }
      for (double percent : {-2.0, 2.0}) {
        add(Fixed(" offset %+.0f %%", percent), 20.0, percent);
      }
      for (double percent : {-2.0, 2.0}) {
        add(Fixed(" air %+.0f %% 0 dB", percent), 0.0, 0.0, percent);
      }
    }
    PrintTable(
        "Tone sets at their own tone length (offset rows at SNR 20 dB; air rows: through "
        "a receiver's 300-3000 Hz band, played 2 % slow or fast, SNR 0 dB)",
        rows, peer, [](const Row& row) {
          return row.batch.modeIndex == core::kModeZvei || row.batch.modeIndex == core::kModeDzvei;
        });
  }
  if (wants("between")) {
    // ZVEI 18533 (1060, 2000, 1530, 1270, 2600 Hz) with its fourth tone moved
    // within half a percent of 1270 Hz (bins 13.4 to 13.6 of the standard
    // decoder's 93.75 Hz bins, a sender's tone a little off); 1266 Hz
    // lies halfway between bins 13 and 14.
    std::printf(
        "\n== One tone between two bins of the standard decoder: ZVEI 18533, its "
        "fourth tone moved, decoded in %%\n%-28s",
        "");
    const std::array<double, 3> snrs{30.0, 20.0, 10.0};
    for (double snr : snrs) {
      std::printf(" %8s %8s", Fixed("std %.0f", snr).c_str(), Fixed("enh %.0f", snr).c_str());
    }
    std::printf("\n");
    const double amplitude = testsupport::AmplitudeOf(-10.0);
    for (double hz : {1260.0, 1263.0, 1266.0, 1268.0, 1270.0, 1273.0, 1276.0}) {
      std::printf("%-28s", Fixed("4th tone %.0f Hz", hz).c_str());
      for (double snr : snrs) {
        for (auto choice : {core::DecoderChoice::kStandard, core::DecoderChoice::kEnhanced}) {
          int decoded = 0;
          for (int i = 0; i < calls; ++i) {
            std::vector<double> samples;
            double phase = 0.3 * i;
            testsupport::AppendTone(samples, 6000.0, 0.0, 0.0, 300.0 + i % 11, phase);
            for (double tone : {1060.0, 2000.0, 1530.0, hz, 2600.0}) {
              testsupport::AppendTone(samples, 6000.0, tone, amplitude, 70.0, phase);
            }
            testsupport::AppendTone(samples, 6000.0, 0.0, 0.0, 400.0, phase);
            testsupport::AddNoise(samples, testsupport::NoiseSigmaFor(amplitude, snr),
                                  100U + static_cast<std::uint32_t>(i));
            const auto codes = testsupport::CodesOf(
                testsupport::DecodeMono6000With(choice, samples, core::kModeZvei));
            decoded += std::count(codes.begin(), codes.end(), "18533") > 0 ? 1 : 0;
          }
          std::printf(" %8.1f", 100.0 * decoded / calls);
        }
      }
      std::printf("\n");
      std::fflush(stdout);
    }
  }
  if (wants("memory")) {
    const auto decoder = std::make_unique<core::EnhancedDecoder>();
    std::printf("\n== Enhanced decoder memory: object %zu bytes, %.0f KiB in all\n",
                sizeof(core::EnhancedDecoder),
                static_cast<double>(decoder->MemoryBytes()) / 1024.0);
  }
  return 0;
}
