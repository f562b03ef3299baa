// Fakes of the services the station takes from the program around it: a
// wall clock that always shows one moment, and a launcher that starts
// nothing.
#pragma once

#include <string>
#include <vector>

#include "app/event_log.h"

namespace sequelo::testsupport {

class FixedClock final : public app::WallClock {
 public:
  app::LocalTime Now() override { return {2026, 12, 7, 10, 0, 0, 0}; }
};

class NoLauncher final : public app::ProcessLauncher {
 public:
  bool StartDetached(const std::vector<std::string>&) override { return true; }
};

}  // namespace sequelo::testsupport
