// An event log in memory: the log file's lines, for tests to read from any
// thread.
#pragma once

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
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
  bool Has(std::string_view text) const { return Count(text) > 0; }
  // Waits (polling) up to `limit` for a line holding `text`.
  bool WaitFor(std::string_view text, std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!Has(text)) {
      if (std::chrono::steady_clock::now() > deadline) {
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }
  // Every line, for a failure's message.
  std::string All() const {
    std::string all;
    for (const auto& l : Lines()) {
      all += l + "\n";
    }
    return all;
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
