// The whole-call search: front end, detection, refinement, symbols and the
// error estimate (see whole_call_search.h).
#include "core/whole_call_search.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <tuple>

#include "core/buffer_analysis.h"
#include "core/vector_clones.h"

namespace sequelo::core {
namespace {

using namespace search;

// Blocks of silence assumed before the first sample, so that a call at the
// very start has two quiet slots before it (and a few blocks more).
constexpr int kStartSlack = 3;  // blocks the refined start may move
constexpr int kLead = 2 * kMaxToneBlocks + 3 * kStartSlack + 8;
// A candidate's region (its start less the slack, the slot before it and
// the one before that, the slack of their look) stays after block 0.
static_assert(kLead >= 3 * kStartSlack + 2 * kMaxToneBlocks);
constexpr int kRecomputeEvery = 1024;  // blocks between exact recomputations
constexpr int kMaxPending = 16;        // candidates waiting for their audio
constexpr int kRegion = (kLookSlots - 1) * kMaxToneBlocks + 2 * kStartSlack + kMaxToneBlocks;
// A tone beside the call also in its edge slot at this share of its power
// or more, and well above the noise there (W against the call's energy), is
// held across the call.
constexpr double kHeldShare = 0.5;
constexpr double kHeldW = 12.0;
// A tone in the slots on both sides of a slot, above this W and this share
// of its W in the slot, is held across it: its W there counts this much.
constexpr float kHeldAcrossW = 12.0f;
constexpr float kHeldAcrossShare = 0.5f;
constexpr float kHeldAcrossWeight = 0.75f;
// A tone of the set above the noise (as held across) in three slots or more
// in a row (of the call's and the two beside it) is a note held through them.
constexpr float kHeldRunW = kHeldAcrossW;
constexpr int kHeldRunSlots = 3;
// Another tone in the slot at this share of what a decided tone shows above
// such a note leaves the slot unsure.
constexpr double kOverNoteShare = 0.5;
// A note before the call, at this share of a pure tone's W in its slot (as
// strong as all else there), still sounding a tone length earlier at this
// share of its power is longer than a tone: not the call's first tone.
// Unless the call's last tone sounds on after it at this share of its W.
constexpr double kLongNotePurity = 0.5;
constexpr double kLongNoteShare = 0.5;
constexpr double kLongLastShare = 0.25;
// A slot this much more likely empty than holding a tone at the call's
// level (e^5), or a half slot than holding its half of the tone.
constexpr double kEmptyOdds = 5.0;
constexpr double kHalfEmptyOdds = 5.0;
// Another tone or offset within +/-4 % fitting a slot: W above this (noise
// over some 500 hypotheses stays below it) and above this share of the
// decided tone's W.
constexpr double kElsewhereRange = 0.04;
constexpr double kElsewhereW = 20.0;
constexpr double kElsewhereShare = 2.0;
// The error gate of a call of two tones taking turns, as a share of the gate.
constexpr double kTrillGateShare = 0.01;
// Below this energy per sample a window is digital silence (about -100 dBFS).
constexpr double kSilentPerSample = 1e-10;

}  // namespace

double search::LogBesselI0(double x) {
  if (x > 5.0) {
    return x - 0.5 * std::log(2.0 * std::numbers::pi * x) + std::log1p(1.0 / (8.0 * x));
  }
  const double quarter = x * x / 4.0;
  double term = 1.0;
  double sum = 1.0;
  for (int k = 1; k < 40; ++k) {
    term *= quarter / (static_cast<double>(k) * k);
    sum += term;
    if (term < 1e-17 * sum) {
      break;
    }
  }
  return std::log(sum);
}

CodeOdds::CodeOdds(const std::array<double, kSlots>& decided) {
  double heaviest = -1e300;
  for (std::size_t i = 0; i < g_.size(); ++i) {
    g_[i] = std::exp(std::log(kSnrGridTop) * static_cast<double>(i) / (kSnrGrid - 1));
    weight_[i] = -kSlots * g_[i];
    for (std::size_t k = 0; k < decided.size(); ++k) {
      own_[i][k] = LogBesselI0(2.0 * std::sqrt(g_[i] * decided[k]));
      weight_[i] += own_[i][k];
    }
    heaviest = std::max(heaviest, weight_[i]);
  }
  double sum = 0.0;
  for (double& x : weight_) {
    x = std::exp(x - heaviest);
    sum += x;
  }
  for (double& x : weight_) {
    x /= sum;
  }
}

CodeOdds::CodeOdds(const std::array<double, kSlots>& decided, double g) {
  weight_[0] = 1.0;
  g_[0] = g;
  for (std::size_t k = 0; k < decided.size(); ++k) {
    own_[0][k] = LogBesselI0(2.0 * std::sqrt(g * decided[k]));
  }
}

double CodeOdds::LikeliestG() const {
  return g_[static_cast<std::size_t>(std::max_element(weight_.begin(), weight_.end()) -
                                     weight_.begin())];
}

double CodeOdds::Rival(std::size_t slot, double w) const {
  double odds = 0.0;
  for (std::size_t i = 0; i < g_.size(); ++i) {
    if (weight_[i] > 1e-12) {  // a g the call cannot have costs no time
      odds += weight_[i] * std::exp(LogBesselI0(2.0 * std::sqrt(g_[i] * w)) - own_[i][slot]);
    }
  }
  return odds;
}

WholeCallSearch::WholeCallSearch()
    : z_(static_cast<std::size_t>(kRing) * kTones),
      energy_(kRing, 0.0),
      turnedRe_(static_cast<std::size_t>(kMaxToneBlocks + 1) * kMaxOffsets * kTones),
      turnedIm_(turnedRe_.size()),
      sumRe_(static_cast<std::size_t>(kMaxOffsets) * kTones),
      sumIm_(sumRe_.size()),
      stepRe_(sumRe_.size()),
      stepIm_(sumRe_.size()),
      phasorRe_(sumRe_.size()),
      phasorIm_(sumRe_.size()),
      m_(static_cast<std::size_t>(kRing) * kMaxOffsets),
      d_(kRing),
      dOffset_(kRing),
      prefix_(static_cast<std::size_t>(kTones) * (kRegion + 1)),
      energyPrefix_(kRegion + 1) {
  calls_.reserve(kMaxPending);
}

std::size_t WholeCallSearch::MemoryBytes() const {
  return sizeof(*this) + z_.capacity() * sizeof(z_[0]) + energy_.capacity() * sizeof(double) +
         (turnedRe_.capacity() + turnedIm_.capacity() + sumRe_.capacity() + sumIm_.capacity() +
          stepRe_.capacity() + stepIm_.capacity() + phasorRe_.capacity() + phasorIm_.capacity() +
          m_.capacity() + d_.capacity()) *
             sizeof(float) +
         dOffset_.capacity() + prefix_.capacity() * sizeof(prefix_[0]) +
         energyPrefix_.capacity() * sizeof(double) + calls_.capacity() * sizeof(SearchCall);
}

void WholeCallSearch::Configure(const std::array<double, kTones>& hz,
                                const std::array<bool, kTones>& used, double toneMs,
                                double offsetRange, std::int64_t firstSample) {
  hz_ = hz;
  used_ = used;
  nominal_ = std::clamp(static_cast<int>(std::lround(toneMs * kCaptureRateHz / 1000.0 / kBlock)), 8,
                        kMaxToneBlocks - 3);
  // Senders' tone lengths wander by a few per cent: the set's length +/- 5 %.
  const int spread =
      std::clamp(static_cast<int>(std::lround(0.05 * nominal_)), 1, (kMaxLengths - 1) / 2);
  lengthCount_ = 0;
  for (int l = nominal_ - spread; l <= nominal_ + spread; ++l) {
    lengths_[static_cast<std::size_t>(lengthCount_++)] = l;
  }
  longest_ = nominal_ + spread;
  // Offset steps: 0.25 % for a 70 ms tone, coarser for shorter tones in
  // proportion (the loss of a mismatch depends on the cycles it slips over
  // the tone). At the highest tone the worst mismatch costs about 0.9 dB.
  fineStep_ = 0.0025 * 42.0 / nominal_;
  fineCentre_ =
      std::min(static_cast<int>(std::floor(offsetRange / fineStep_ + 1e-9)), (kMaxOffsets - 1) / 2);
  fineCount_ = 2 * fineCentre_ + 1;
  // Detection looks at every other offset (offset 0 among them); the
  // refinement fills in the steps between.
  detectFirst_ = fineCentre_ % 2;
  offsets_ = (fineCount_ - detectFirst_ + 1) / 2;
  for (int t = 0; t < kTones; ++t) {
    const auto ti = static_cast<std::size_t>(t);
    const double w = 2.0 * std::numbers::pi * hz_[ti] / kCaptureRateHz;
    for (int n = 0; n < kBlock; ++n) {
      mixRe_[static_cast<std::size_t>(n)][ti] = static_cast<float>(std::cos(w * n));
      mixIm_[static_cast<std::size_t>(n)][ti] = static_cast<float>(-std::sin(w * n));
    }
    usedMask_[ti] = used_[ti] ? 1.0f : 0.0f;
    for (int e = 0; e < offsets_; ++e) {
      const double theta = 2.0 * std::numbers::pi * hz_[ti] * (1.0 + OffsetOf(DetectionFine(e))) *
                           kBlock / kCaptureRateHz;
      const auto b = static_cast<std::size_t>(e * kTones + t);
      stepRe_[b] = static_cast<float>(std::cos(theta));
      stepIm_[b] = static_cast<float>(-std::sin(theta));
    }
  }
  configured_ = true;
  Restart(firstSample);
}

void WholeCallSearch::Restart(std::int64_t firstSample) {
  std::fill(z_.begin(), z_.end(), std::complex<float>{});
  std::fill(energy_.begin(), energy_.end(), 0.0);
  std::fill(turnedRe_.begin(), turnedRe_.end(), 0.0f);
  std::fill(turnedIm_.begin(), turnedIm_.end(), 0.0f);
  std::fill(sumRe_.begin(), sumRe_.end(), 0.0f);
  std::fill(sumIm_.begin(), sumIm_.end(), 0.0f);
  std::fill(phasorRe_.begin(), phasorRe_.end(), 1.0f);
  std::fill(phasorIm_.begin(), phasorIm_.end(), 0.0f);
  std::fill(m_.begin(), m_.end(), 0.0f);
  std::fill(d_.begin(), d_.end(), 0.0f);
  windowEnergy_ = 0.0;
  partFill_ = 0;
  block_ = kLead;
  firstSample_ = firstSample;
  calls_.clear();
  pendingCount_ = 0;
}

void WholeCallSearch::Feed(const float* samples, std::size_t n) {
  if (!configured_) {
    return;
  }
  std::size_t at = 0;
  if (partFill_ > 0) {
    const std::size_t take = std::min(n, static_cast<std::size_t>(kBlock - partFill_));
    std::copy_n(samples, take, part_.begin() + partFill_);
    partFill_ += static_cast<int>(take);
    at = take;
    if (partFill_ < kBlock) {
      return;
    }
    ProcessBlock(part_.data());
    partFill_ = 0;
  }
  for (; at + kBlock <= n; at += kBlock) {
    ProcessBlock(samples + at);
  }
  partFill_ = static_cast<int>(n - at);
  std::copy_n(samples + at, n - at, part_.begin());
}

SEQUELO_VECTOR_CLONES void WholeCallSearch::ProcessBlock(const float* block) {
  const std::int64_t m = block_;
  const auto slot = static_cast<std::size_t>(m % kRing);
  std::array<float, kTones> re{};
  std::array<float, kTones> im{};
  float energy = 0.0f;
  for (std::size_t n = 0; n < static_cast<std::size_t>(kBlock); ++n) {
    const float x = block[n];
    energy += x * x;
    for (std::size_t t = 0; t < static_cast<std::size_t>(kTones); ++t) {
      re[t] += x * mixRe_[n][t];
      im[t] += x * mixIm_[n][t];
    }
  }
  for (std::size_t t = 0; t < static_cast<std::size_t>(kTones); ++t) {
    z_[slot * kTones + t] = {re[t], im[t]};
  }
  const double oldEnergy = energy_[static_cast<std::size_t>((m - nominal_) % kRing)];
  energy_[slot] = energy;
  windowEnergy_ += static_cast<double>(energy) - oldEnergy;

  // Turn the block by every offset's phase and slide the window sums.
  const std::size_t bins = static_cast<std::size_t>(offsets_) * kTones;
  const std::size_t turnSlot = static_cast<std::size_t>(m % nominal_) * kMaxOffsets * kTones;
  float* oldRe = &turnedRe_[turnSlot];
  float* oldIm = &turnedIm_[turnSlot];
  for (std::size_t e = 0; e < static_cast<std::size_t>(offsets_); ++e) {
    for (std::size_t t = 0; t < static_cast<std::size_t>(kTones); ++t) {
      const std::size_t b = e * kTones + t;
      const float pr = phasorRe_[b];
      const float pi = phasorIm_[b];
      const float yr = re[t] * pr - im[t] * pi;
      const float yi = re[t] * pi + im[t] * pr;
      sumRe_[b] += yr - oldRe[b];
      sumIm_[b] += yi - oldIm[b];
      oldRe[b] = yr;
      oldIm[b] = yi;
      phasorRe_[b] = pr * stepRe_[b] - pi * stepIm_[b];
      phasorIm_[b] = pr * stepIm_[b] + pi * stepRe_[b];
    }
  }
  if (m % kRecomputeEvery == 0) {
    // Renormalise the phasors and recompute the sums and the energy exactly.
    for (std::size_t b = 0; b < bins; ++b) {
      const float norm =
          1.0f / std::sqrt(phasorRe_[b] * phasorRe_[b] + phasorIm_[b] * phasorIm_[b]);
      phasorRe_[b] *= norm;
      phasorIm_[b] *= norm;
      float sr = 0.0f;
      float si = 0.0f;
      for (int j = 0; j < nominal_; ++j) {
        const std::size_t row = static_cast<std::size_t>(j) * kMaxOffsets * kTones;
        sr += turnedRe_[row + b];
        si += turnedIm_[row + b];
      }
      sumRe_[b] = sr;
      sumIm_[b] = si;
    }
    double total = 0.0;
    for (int j = 0; j < nominal_; ++j) {
      total += energy_[static_cast<std::size_t>((m - j) % kRing)];
    }
    windowEnergy_ = total;
  }

  // M of the window that ends with this block, per offset.
  const std::int64_t windowStart = m - nominal_ + 1;
  float* row = &m_[static_cast<std::size_t>(windowStart % kRing) * kMaxOffsets];
  const double samples = static_cast<double>(nominal_) * kBlock;
  if (windowEnergy_ <= samples * kSilentPerSample) {
    std::fill_n(row, offsets_, 0.0f);
  } else {
    const auto inverse = static_cast<float>(1.0 / windowEnergy_);
    for (std::size_t e = 0; e < static_cast<std::size_t>(offsets_); ++e) {
      float best = 0.0f;
      for (std::size_t t = 0; t < static_cast<std::size_t>(kTones); ++t) {
        const std::size_t b = e * kTones + t;
        const float w = (sumRe_[b] * sumRe_[b] + sumIm_[b] * sumIm_[b]) * inverse * usedMask_[t];
        best = w > best ? w : best;
      }
      row[e] = std::min(best, static_cast<float>(samples));
    }
  }
  ++block_;
  Detect();
}

void WholeCallSearch::Detect() {
  const std::int64_t newest = block_ - nominal_;  // newest window start with its M
  const std::int64_t s = newest - 4 * nominal_;   // newest start with its D
  if (s >= 0) {
    float best = 0.0f;
    int bestOffset = 0;
    const float* rows[kSlots];
    for (int k = 0; k < kSlots; ++k) {
      rows[k] = &m_[static_cast<std::size_t>((s + k * nominal_) % kRing) * kMaxOffsets];
    }
    for (int e = 0; e < offsets_; ++e) {
      const float d = (((rows[0][e] + rows[1][e]) + rows[2][e]) + rows[3][e]) + rows[4][e];
      if (d > best) {
        best = d;
        bestOffset = e;
      }
    }
    d_[static_cast<std::size_t>(s % kRing)] = best;
    dOffset_[static_cast<std::size_t>(s % kRing)] = static_cast<std::int8_t>(bestOffset);
  }
  // A local maximum within half a tone length either way.
  const int half = nominal_ / 2;
  const std::int64_t c = s - half;
  // (Blocks before kLead are the silence assumed before the start: a call
  // can begin no earlier than that, and its look before it stays in range.)
  if (c >= kLead - kStartSlack) {
    const float dc = d_[static_cast<std::size_t>(c % kRing)];
    if (dc >= kDetectThreshold) {
      bool peak = true;
      for (std::int64_t j = c - half; j <= c + half && peak; ++j) {
        const float dj = d_[static_cast<std::size_t>(j % kRing)];
        peak = j < c ? dc > dj : (j == c || dc >= dj);
      }
      if (peak && pendingCount_ < kMaxPending) {
        pending_[static_cast<std::size_t>(pendingCount_++)] = {
            c, DetectionFine(dOffset_[static_cast<std::size_t>(c % kRing)])};
      }
    }
  }
  // Candidates whose slot after the call (at the longest length and the
  // latest start) has come in.
  int kept = 0;
  for (int i = 0; i < pendingCount_; ++i) {
    const Pending p = pending_[static_cast<std::size_t>(i)];
    if (p.start + kStartSlack + (kSlots + 1) * longest_ <= block_) {
      Refine(p.start, p.offset);
    } else {
      pending_[static_cast<std::size_t>(kept++)] = p;
    }
  }
  pendingCount_ = kept;
}

void WholeCallSearch::Refine(std::int64_t start, int offsetIndex) {
  ++candidates_;
  const std::int64_t r0 = start - kStartSlack - longest_;
  const std::int64_t r1 = start + kStartSlack + (kSlots + 1) * longest_;
  const auto span = static_cast<std::size_t>(r1 - r0);
  energyPrefix_[0] = 0.0;
  for (std::size_t i = 0; i < span; ++i) {
    energyPrefix_[i + 1] =
        energyPrefix_[i] +
        energy_[static_cast<std::size_t>((r0 + static_cast<std::int64_t>(i)) % kRing)];
  }
  SearchCall best;
  double bestD = -1.0;
  std::int64_t bestStart = start;
  std::array<std::array<float, kTones>, kLookSlots> w{};
  // Offsets in fine steps around the detected one, up to the next detection
  // offset either way.
  for (int fine = std::max(0, offsetIndex - 2); fine <= std::min(fineCount_ - 1, offsetIndex + 2);
       ++fine) {
    const double offset = OffsetOf(fine);
    // Running sums of the turned block sums, block-major: prefix_[i][t] is
    // the sum of the region's first i blocks. All tones step together (the
    // tones' phasor chains are independent), which vectorises.
    std::array<float, kTones> stepRe{}, stepIm{}, pr{}, pi{}, sr{}, si{};
    for (std::size_t t = 0; t < static_cast<std::size_t>(kTones); ++t) {
      const double theta =
          2.0 * std::numbers::pi * hz_[t] * (1.0 + offset) * kBlock / kCaptureRateHz;
      stepRe[t] = static_cast<float>(std::cos(theta));
      stepIm[t] = static_cast<float>(-std::sin(theta));
      pr[t] = usedMask_[t];
    }
    std::fill_n(prefix_.begin(), kTones, std::complex<float>{});
    for (std::size_t i = 0; i < span; ++i) {
      const std::complex<float>* zi =
          &z_[static_cast<std::size_t>((r0 + static_cast<std::int64_t>(i)) % kRing) * kTones];
      std::complex<float>* out = &prefix_[(i + 1) * kTones];
      for (std::size_t t = 0; t < static_cast<std::size_t>(kTones); ++t) {
        sr[t] += zi[t].real() * pr[t] - zi[t].imag() * pi[t];
        si[t] += zi[t].real() * pi[t] + zi[t].imag() * pr[t];
        const float nr = pr[t] * stepRe[t] - pi[t] * stepIm[t];
        pi[t] = pr[t] * stepIm[t] + pi[t] * stepRe[t];
        pr[t] = nr;
        out[t] = {sr[t], si[t]};
      }
    }
    for (int li = 0; li < lengthCount_; ++li) {
      const int length = lengths_[static_cast<std::size_t>(li)];
      const double cap = static_cast<double>(length) * kBlock;
      for (std::int64_t s = start - kStartSlack; s <= start + kStartSlack; ++s) {
        double d = 0.0;
        for (int k = 0; k < kLookSlots; ++k) {
          const auto a = static_cast<std::size_t>(s + (k - 1) * length - r0);
          const auto b = a + static_cast<std::size_t>(length);
          const double energy = energyPrefix_[b] - energyPrefix_[a];
          auto& slot = w[static_cast<std::size_t>(k)];
          const float inverse =
              energy > cap * kSilentPerSample ? static_cast<float>(1.0 / energy) : 0.0f;
          float most = 0.0f;
          const std::complex<float>* pa = &prefix_[a * kTones];
          const std::complex<float>* pb = &prefix_[b * kTones];
          for (std::size_t t = 0; t < static_cast<std::size_t>(kTones); ++t) {
            const float value =
                std::min(static_cast<float>(cap), std::norm(pb[t] - pa[t]) * inverse);
            slot[t] = value;
            most = std::max(most, value);
          }
          if (k >= 1 && k <= kSlots) {
            d += most;
          }
        }
        if (d > bestD) {
          bestD = d;
          bestStart = s;
          best.w = w;
          best.startSample = firstSample_ + (s - kLead) * kBlock;
          best.toneSamples = length * kBlock;
          best.offsetRelative = offset;
        }
      }
    }
  }
  // Symbols: the best path through the five slots over the call's tones
  // (digits, '*', the repeat tone), no tone twice in a row, no repeat tone
  // first.
  const auto callTone = [&](int t) {
    return t < kFirstSpecial && used_[static_cast<std::size_t>(t)];
  };
  std::array<std::array<double, kTones>, kSlots> score{};
  std::array<std::array<int, kTones>, kSlots> from{};
  constexpr double kNever = -1e300;
  // A tone of the set sounding in the slots on both sides of a slot, well
  // above the noise and at half its W there or more, is a note held across
  // it (a call's tone gives way to the next): it counts for less, in the
  // symbols and as a rival. So does one in an edge slot of the call that
  // sounds so in the slot beside the call: a note going on into or out of
  // the call.
  std::array<std::array<float, kTones>, kSlots> sym{};
  std::array<std::array<bool, kTones>, kSlots> ofNote{};  // the W less a note's
  for (std::size_t k = 0; k < kSlots; ++k) {
    const auto& [before, slot, after] = std::tie(best.w[k], best.w[k + 1], best.w[k + 2]);
    for (std::size_t t = 0; t < kTones; ++t) {
      const float floor = std::max(kHeldAcrossW, kHeldAcrossShare * slot[t]);
      const bool fromBefore = before[t] >= floor;
      const bool onAfter = after[t] >= floor;
      const bool held =
          (fromBefore && onAfter) || (k == 0 && fromBefore) || (k == kSlots - 1 && onAfter);
      sym[k][t] = slot[t] * (held ? kHeldAcrossWeight : 1.0f);
    }
  }
  // A call never sounds a tone in two slots running, so a tone strong in
  // three slots in a row or more is a note held through them. In the call's
  // slots of the run it counts only for what it shows above the least it
  // shows in them (the note's own level): above that it may be the call's
  // tone, sounding with the note.
  for (std::size_t t = 0; t < kTones; ++t) {
    for (std::size_t k = 0; k < kLookSlots;) {
      std::size_t end = k;
      while (end < kLookSlots && best.w[end][t] >= kHeldRunW) {
        ++end;
      }
      if (end - k >= kHeldRunSlots) {
        const std::size_t first = std::max<std::size_t>(k, 1);
        const std::size_t last = std::min<std::size_t>(end, kSlots + 1);
        float note = best.w[first][t];
        for (std::size_t m = first; m < last; ++m) {
          note = std::min(note, best.w[m][t]);
        }
        for (std::size_t m = first; m < last; ++m) {
          sym[m - 1][t] = best.w[m][t] - note;
          ofNote[m - 1][t] = true;
        }
      }
      k = std::max(end, k + 1);
    }
  }
  for (int k = 0; k < kSlots; ++k) {
    const auto& slot = sym[static_cast<std::size_t>(k)];
    for (int t = 0; t < kTones; ++t) {
      auto& cell = score[static_cast<std::size_t>(k)][static_cast<std::size_t>(t)];
      cell = kNever;
      if (!callTone(t) || (k == 0 && t == kRepeatTone)) {
        continue;
      }
      double before = 0.0;
      if (k > 0) {
        before = kNever;
        for (int u = 0; u < kTones; ++u) {
          const double v = score[static_cast<std::size_t>(k - 1)][static_cast<std::size_t>(u)];
          if (u != t && v > before) {
            before = v;
            from[static_cast<std::size_t>(k)][static_cast<std::size_t>(t)] = u;
          }
        }
      }
      cell = before + slot[static_cast<std::size_t>(t)];
    }
  }
  int last = 0;
  for (int t = 1; t < kTones; ++t) {
    if (score[kSlots - 1][static_cast<std::size_t>(t)] >
        score[kSlots - 1][static_cast<std::size_t>(last)]) {
      last = t;
    }
  }
  for (int k = kSlots - 1; k >= 0; --k) {
    best.tones[static_cast<std::size_t>(k)] = last;
    last = k > 0 ? from[static_cast<std::size_t>(k)][static_cast<std::size_t>(last)] : last;
  }
  std::array<double, kSlots> sorted{};
  for (int k = 0; k < kSlots; ++k) {
    const auto ks = static_cast<std::size_t>(k);
    best.q[ks] = best.w[ks + 1][static_cast<std::size_t>(best.tones[ks])];
    sorted[ks] = best.q[ks];
    best.evidence += best.q[ks];
  }
  std::sort(sorted.begin(), sorted.end());
  // The slots before and after the call are measured against the call's own
  // energy (the median of its slots): in white noise that is their own
  // energy, as W; beside a call heard through quieter music it keeps a
  // note of the music, alone in its slot, from looking as strong as a tone
  // of the call.
  const int length = best.toneSamples / kBlock;
  std::array<double, kSlots> slotEnergy{};
  for (int k = 0; k < kSlots; ++k) {
    slotEnergy[static_cast<std::size_t>(k)] = EnergyOf(bestStart + k * length, length);
  }
  std::sort(slotEnergy.begin(), slotEnergy.end());
  const double callEnergy = slotEnergy[kSlots / 2];
  if (callEnergy <= best.toneSamples * kSilentPerSample) {
    best.reason = "silence";
    return;
  }
  const std::int64_t beforeStart = bestStart - length;
  const std::int64_t afterStart = bestStart + kSlots * length;
  // Another tone of the set in the slot, a few blocks either way (the chosen
  // start leans towards noise that fits: a call read one tone late has its
  // first real tone just before, slightly shifted), and the edge tone going
  // on at any offset of the range (a longer tone, a carrier a little off the
  // edge tone's frequency).
  // A tone that sounds on inside the call's edge slot as well is left out:
  // that is the sound the call is heard through (a note held across it),
  // not a neighbouring note (a melody's notes follow one another), nor the
  // edge tone of a call one tone off, which gives way to the next tone. A
  // tone of the call itself is never left out: the call may be read one
  // tone off with its real edge tone there.
  const auto beside = [&](int edgeTone, std::int64_t slotStart, std::int64_t edgeSlotStart,
                          int* which) {
    std::array<double, kTones> inside{};
    for (int t = 0; t < kTones; ++t) {
      if (used_[static_cast<std::size_t>(t)] && t != edgeTone) {
        inside[static_cast<std::size_t>(t)] =
            std::norm(TurnedSum(t, best.offsetRelative, edgeSlotStart, length));
      }
    }
    double most = 0.0;
    for (int shift = -kStartSlack; shift <= kStartSlack; ++shift) {
      for (int t = 0; t < kTones; ++t) {
        if (used_[static_cast<std::size_t>(t)] && (t != edgeTone || shift == 0)) {
          const double power =
              std::norm(TurnedSum(t, best.offsetRelative, slotStart + shift, length));
          const double held = inside[static_cast<std::size_t>(t)];
          const bool ofCall =
              std::find(best.tones.begin(), best.tones.end(), t) != best.tones.end();
          if ((ofCall || held < kHeldShare * power || held < kHeldW * callEnergy) && power > most) {
            most = power;
            *which = t;
          }
        }
      }
    }
    for (int fine = 0; fine < fineCount_; ++fine) {
      const double power = std::norm(TurnedSum(edgeTone, OffsetOf(fine), slotStart, length));
      if (power > most) {
        most = power;
        *which = edgeTone;
      }
    }
    return most / callEnergy;
  };
  // The error estimate: the chance that another code was sent, p_sym (one
  // slot's tone another allowed one), and the chance that the call is one
  // tone off, p_al (an edge tone really a noise slot, the call's tone in the
  // slot beyond). A tone at per-tone SNR g shows W with likelihood
  // e^-(W+g) I0(2 sqrt(g W)) and noise e^-W, so a code's likelihood over the
  // slots is the product of e^-g I0(2 sqrt(g W)) over its tones, times the
  // same e^-W for every code. The call's g is not known (CodeOdds).
  const CodeOdds odds(best.q);
  const double pSym = odds.ChanceWrong(
      kTones, [&](std::size_t k, int t) { return sym[k][static_cast<std::size_t>(t)]; },
      [&](std::size_t k, int t) {
        const bool neighbour =
            (k > 0 && t == best.tones[k - 1]) || (k + 1 < kSlots && t == best.tones[k + 1]);
        return callTone(t) && !neighbour && !(k == 0 && t == kRepeatTone) && t != best.tones[k];
      });
  // Every slot must hold a tone at about the call's level: a slot far more
  // likely empty than holding a tone of SNR g (W of noise ~ Exp(1), of such
  // a tone ~ e^-(W+g) I0(2 sqrt(g W))) means no call of five tones is
  // there: a shorter run of tones with noise beside it, say. (The odds
  // above take every slot to hold a tone at one g: three strong tones make
  // a noise slot beside them look sure.)
  const double level = odds.LikeliestG();
  double emptiest = 0.0;
  for (int k = 0; k < kSlots; ++k) {
    emptiest =
        std::max(emptiest,
                 level - LogBesselI0(2.0 * std::sqrt(level * best.q[static_cast<std::size_t>(k)])));
  }
  // A decided tone that shows only so much above a note held through its
  // slot must stand clear of every other tone there: its level is not known
  // well enough for the odds above, which take it as measured.
  double unclear = 0.0;
  for (std::size_t k = 0; k < kSlots; ++k) {
    const auto decided = static_cast<std::size_t>(best.tones[k]);
    if (ofNote[k][decided]) {
      for (std::size_t t = 0; t < kTones; ++t) {
        if (t != decided && callTone(static_cast<int>(t))) {
          unclear =
              std::max(unclear, static_cast<double>(sym[k][t] / std::max(1.0f, sym[k][decided])));
        }
      }
    }
  }
  // (The slots beside the call cost the most to measure: only for a call
  // that passes without them.)
  best.errorEstimate = pSym;
  if (emptiest > kEmptyOdds) {
    best.reason = "a slot without a tone at the call's level, log odds";
    best.errorEstimate = emptiest;
  } else if (unclear >= kOverNoteShare) {
    best.reason = "a tone over a held note no clearer than another, share";
    best.errorEstimate = unclear;
  } else {
    // Two tones taking turns (not the repeat tone: "11111" is sent so) are
    // what music plays most that looks like a call, a trill: such a call must
    // be a hundred times surer.
    const auto& t = best.tones;
    best.trill =
        t[0] == t[2] && t[2] == t[4] && t[1] == t[3] && t[0] != kRepeatTone && t[1] != kRepeatTone;
    const double gate = best.trill ? kErrorGate * kTrillGateShare : kErrorGate;
    if (pSym <= gate) {
      best.pre = beside(best.tones[0], beforeStart, bestStart, &best.preTone);
      // A note before the call, as strong as all else in its slot, that
      // sounded a tone length before that too is longer than a tone of the
      // call: the call is not one tone late. (A last tone sounding on after
      // the call would make it a run of notes itself, a melody read as a
      // call. The call's own first tone going on before it is a tone too
      // long, kept for the call's judgement.)
      const auto preTone = static_cast<std::size_t>(best.preTone);
      if (best.preTone >= 0 && best.preTone != best.tones[0] &&
          best.w[0][preTone] >= kLongNotePurity * length * kBlock / 2.0) {
        double earlier = 0.0;
        for (int shift = -kStartSlack; shift <= kStartSlack; ++shift) {
          earlier = std::max(earlier, std::norm(TurnedSum(best.preTone, best.offsetRelative,
                                                          beforeStart - length + shift, length)));
        }
        const auto lastTone = static_cast<std::size_t>(best.tones[kSlots - 1]);
        if (earlier / callEnergy >= kLongNoteShare * best.pre &&
            best.w[kSlots + 1][lastTone] < kLongLastShare * best.q[kSlots - 1]) {
          best.pre = 0.0;
        }
      }
      best.post = beside(best.tones[kSlots - 1], afterStart, afterStart - length, &best.postTone);
      best.errorEstimate += odds.Rival(kSlots - 1, best.pre) + odds.Rival(0, best.post);
    }
    if (best.errorEstimate > gate) {
      best.reason = kUnsureCode;
    } else {
      best.contender = true;
      // (The half-slot test takes the call's per-tone SNR from its
      // second-weakest tone: the strongest of the decided W are the
      // likeliest to have been lifted by noise.)
      CheckSlots(best, bestStart, std::max(1.0, sorted[1] - 1.0));
    }
  }
  if (calls_.size() < calls_.capacity()) {  // never more than a few per buffer
    calls_.push_back(best);
  }
}

std::complex<double> WholeCallSearch::TurnedSum(int tone, double offset, std::int64_t from,
                                                int blocks) const {
  const auto ts = static_cast<std::size_t>(tone);
  const double theta = 2.0 * std::numbers::pi * hz_[ts] * (1.0 + offset) * kBlock / kCaptureRateHz;
  const std::complex<double> step = std::polar(1.0, -theta);
  std::complex<double> phasor = 1.0;
  std::complex<double> sum = 0.0;
  auto at = static_cast<std::size_t>(from % kRing);
  for (int j = 0; j < blocks; ++j, at = (at + 1) % kRing) {
    const auto& zj = z_[at * kTones + ts];
    sum += std::complex<double>(zj.real(), zj.imag()) * phasor;
    phasor *= step;
  }
  return sum;
}

double WholeCallSearch::EnergyOf(std::int64_t from, int blocks) const {
  double energy = 0.0;
  for (int j = 0; j < blocks; ++j) {
    energy += energy_[static_cast<std::size_t>((from + j) % kRing)];
  }
  return energy;
}

void WholeCallSearch::CheckSlots(SearchCall& call, std::int64_t start, double g) const {
  const int length = call.toneSamples / kBlock;
  const int half = length / 2;
  // With half the tone, half the SNR: ln of the likelihood of a tone of SNR
  // g / 2 in a half slot showing W.
  const double halfG = std::max(1.0, g / 2.0);
  for (int k = 0; k < kSlots; ++k) {
    const int tone = call.tones[static_cast<std::size_t>(k)];
    const std::int64_t from = start + static_cast<std::int64_t>(k) * length;
    // Each tone fills its slot: present in both halves (a slot across two
    // tones of a shorter length holds its tone in one half only).
    for (int part = 0; part < 2; ++part) {
      const std::int64_t at = from + part * half;
      const int blocks = part == 0 ? half : length - half;
      const double energy = EnergyOf(at, blocks);
      const double w = energy > blocks * kBlock * kSilentPerSample
                           ? std::norm(TurnedSum(tone, call.offsetRelative, at, blocks)) / energy
                           : 0.0;
      const double odds = halfG - LogBesselI0(2.0 * std::sqrt(halfG * w));
      if (odds > kHalfEmptyOdds) {
        call.reason = "a tone filling half its slot only, log odds";
        call.errorEstimate = odds;
        call.reasonSlot = k;
        return;
      }
    }
    // No tone of the set fits the slot far better at another offset (a call
    // beyond the offset range read as its neighbouring tones).
    const double energy = EnergyOf(from, length);
    if (energy <= call.toneSamples * kSilentPerSample) {
      continue;
    }
    const double own = call.q[static_cast<std::size_t>(k)];
    const int reach = static_cast<int>(std::ceil(kElsewhereRange / fineStep_));
    for (int t = 0; t < kTones; ++t) {
      if (!used_[static_cast<std::size_t>(t)]) {
        continue;
      }
      for (int step = -reach; step <= reach; ++step) {
        const double offset = step * fineStep_;
        if (t == tone && std::abs(offset - call.offsetRelative) <= 2.0 * fineStep_) {
          continue;
        }
        const double w = std::norm(TurnedSum(t, offset, from, length)) / energy;
        if (w > kElsewhereW && w > kElsewhereShare * own) {
          call.reason = "a tone fits the slot better at another offset, W";
          call.errorEstimate = w;
          call.reasonSlot = k;
          return;
        }
      }
    }
  }
}

}  // namespace sequelo::core
