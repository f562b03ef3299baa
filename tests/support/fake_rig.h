// A radio behind Hamlib, faked: it records every call in order ("open",
// "close", "ptt on", "ptt off", "read"), holds a PTT that follows what it
// is told, and fails opens, PTT commands or reads on demand. It can share
// its record with a sleeper that logs the TX delay, so a test sees the
// order of keying, read-back and delay.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/clock.h"
#include "tx/hamlib_rig.h"

namespace sequelo::testsupport {

class FakeRig final : public tx::RigLink {
 public:
  explicit FakeRig(std::vector<std::string>* calls = nullptr) : calls_(calls ? calls : &own_) {}

  bool Open(const tx::RigConfig& config, std::string& error) override {
    calls_->push_back("open");
    opened.push_back(config);
    if (failOpen) {
      error = "Connection refused";
      return false;
    }
    open_ = true;
    return true;
  }
  void Close() override {
    if (open_) {
      calls_->push_back("close");
    }
    open_ = false;
  }
  bool IsOpen() const override { return open_; }
  bool SetPtt(bool on, std::string& error) override {
    calls_->push_back(on ? "ptt on" : "ptt off");
    if (!open_ || failPtt) {
      error = "IO error";
      return false;
    }
    ptt = on && !ignoreKeying;
    return true;
  }
  tx::RigPtt ReadPtt(std::string& error) override {
    calls_->push_back("read");
    if (!open_ || failRead) {
      error = "Communication timed out";
      return tx::RigPtt::kFailed;
    }
    if (!readBack) {
      return tx::RigPtt::kNotOffered;
    }
    return ptt ? tx::RigPtt::kOn : tx::RigPtt::kOff;
  }

  const std::vector<std::string>& Calls() const { return *calls_; }

  bool failOpen = false;
  bool failPtt = false;
  bool failRead = false;
  bool readBack = true;       // false: the radio cannot tell its PTT
  bool ignoreKeying = false;  // takes the command, stays unkeyed
  bool ptt = false;
  std::vector<tx::RigConfig> opened;

 private:
  std::vector<std::string> own_;
  std::vector<std::string>* calls_;
  bool open_ = false;
};

// Logs each delay into a shared record as "delay <ms>".
class LoggingSleeper final : public core::Sleeper {
 public:
  explicit LoggingSleeper(std::vector<std::string>& calls) : calls_(calls) {}
  void SleepMs(std::uint32_t ms) override { calls_.push_back("delay " + std::to_string(ms)); }

 private:
  std::vector<std::string>& calls_;
};

}  // namespace sequelo::testsupport
