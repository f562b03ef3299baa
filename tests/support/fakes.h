// Fakes of the services the logic uses: a serial port that records what was
// done to it, a message sink that records messages and answers questions as
// told, a sleeper that records delays instead of waiting.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/message_sink.h"
#include "tx/serial_port.h"

namespace sequelo::testsupport {

class FakeSerialPort final : public tx::SerialPort {
 public:
  bool Open(const std::string& device) override {
    opens.push_back(device);
    if (failOpen) {
      return false;
    }
    open_ = true;
    device_ = device;
    return true;
  }
  bool IsOpen() const override { return open_; }
  bool Configure(const tx::SerialConfig& config) override {
    configs.push_back(config);
    return open_;
  }
  bool Write(std::span<const std::uint8_t> bytes) override {
    writes.emplace_back(bytes.begin(), bytes.end());
    return open_;
  }
  bool SetLine(tx::ModemLine line, bool on) override {
    lines.push_back({line, on});
    return open_;
  }
  void RestoreAndClose() override {
    ++closes;
    if (open_) {
      ++restores;
    }
    open_ = false;
  }
  std::string Error() const override { return failOpen ? "cannot open: No such device" : ""; }

  struct LineChange {
    tx::ModemLine line;
    bool on;
    bool operator==(const LineChange&) const = default;
  };
  bool failOpen = false;
  std::vector<std::string> opens;
  std::vector<tx::SerialConfig> configs;
  std::vector<std::vector<std::uint8_t>> writes;
  std::vector<LineChange> lines;
  int closes = 0;
  int restores = 0;  // closes of an open port (its settings written back)

 private:
  bool open_ = false;
  std::string device_;
};

class FakeMessageSink final : public core::MessageSink {
 public:
  void ShowMessage(std::string_view text, std::string_view caption) override {
    std::lock_guard lock(mutex_);
    messages.emplace_back(std::string(caption) + ": " + std::string(text));
  }
  bool AskOkCancel(std::string_view text, std::string_view caption) override {
    std::lock_guard lock(mutex_);
    questions.emplace_back(std::string(caption) + ": " + std::string(text));
    return answerOk;
  }
  bool answerOk = false;
  std::vector<std::string> messages;   // "caption: text"
  std::vector<std::string> questions;  // "caption: text"

 private:
  std::mutex mutex_;
};

class FakeSleeper final : public core::Sleeper {
 public:
  void SleepMs(std::uint32_t ms) override { sleeps.push_back(ms); }
  std::vector<std::uint32_t> sleeps;
};

}  // namespace sequelo::testsupport
