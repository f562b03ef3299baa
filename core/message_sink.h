// Messages for the operator: the window shows them as modal message boxes;
// the headless station prints them. A call blocks its thread until the
// message has been dealt with. Any thread may call.
#pragma once

#include <string_view>

namespace sequelo::core {

inline constexpr std::string_view kProgramCaption = "Sequelo";

class MessageSink {
 public:
  virtual ~MessageSink() = default;
  // A message with an OK button.
  virtual void ShowMessage(std::string_view text, std::string_view caption = kProgramCaption) = 0;
  // A question with OK and Cancel; true for OK.
  virtual bool AskOkCancel(std::string_view text, std::string_view caption = kProgramCaption) = 0;
};

}  // namespace sequelo::core
