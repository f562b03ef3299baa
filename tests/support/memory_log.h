// An event log in memory: the log file's lines, for tests to read from any
// thread.
#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/event_log.h"

namespace sequelo::testsupport {

class MemoryLog final : public core::EventLog {
 public:
  void WriteLogLine(std::string_view text) override {
    std::lock_guard lock(mutex_);
    lines_.emplace_back(text);
  }
  void AddActivityLine(std::string_view) override {}
  std::vector<std::string> Lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  // Lines holding `text`.
  int Count(std::string_view text) const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count_if(lines_.begin(), lines_.end(), [&](const std::string& l) {
      return l.find(text) != std::string::npos;
    }));
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace sequelo::testsupport
