// Messages of the headless station: printed as "<caption>: <text>" on
// standard error ("Sequelo: ..."); questions are answered with Cancel, since
// nobody is there to answer them. Any thread.
#pragma once

#include <cstdio>
#include <mutex>
#include <string_view>

#include "core/message_sink.h"

namespace sequelo::app {

class ConsoleMessageSink final : public core::MessageSink {
 public:
  explicit ConsoleMessageSink(std::FILE* out = stderr) : out_(out) {}
  void ShowMessage(std::string_view text, std::string_view caption) override {
    Print(text, caption);
  }
  bool AskOkCancel(std::string_view text, std::string_view caption) override {
    Print(text, caption);
    return false;
  }

 private:
  void Print(std::string_view text, std::string_view caption) {
    std::lock_guard lock(mutex_);
    std::fprintf(out_, "%.*s: %.*s\n", static_cast<int>(caption.size()), caption.data(),
                 static_cast<int>(text.size()), text.data());
    std::fflush(out_);
  }
  std::mutex mutex_;
  std::FILE* out_;
};

}  // namespace sequelo::app
