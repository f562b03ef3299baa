// A token bucket: at most `perSecond` events a second on average and
// `burst` at once. Pure; the caller passes the time (a tick in ms) and
// guards it with its own lock.
#pragma once

#include <algorithm>
#include <cstdint>

#include "core/clock.h"

namespace sequelo::control {

class RateLimit {
 public:
  RateLimit(double perSecond, double burst) : perMs_(perSecond / 1000.0), burst_(burst) {}
  // True (and one event counted) when an event may happen at `nowMs`.
  bool Allow(std::uint32_t nowMs) {
    if (!started_) {
      started_ = true;
      tokens_ = burst_;
    } else {
      tokens_ = std::min(burst_, tokens_ + core::ElapsedMs(lastMs_, nowMs) * perMs_);
    }
    lastMs_ = nowMs;
    if (tokens_ < 1.0) {
      return false;
    }
    tokens_ -= 1.0;
    return true;
  }

 private:
  double perMs_;
  double burst_;
  double tokens_ = 0.0;
  std::uint32_t lastMs_ = 0;
  bool started_ = false;
};

}  // namespace sequelo::control
