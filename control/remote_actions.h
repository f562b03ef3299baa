// What a remote client's lines make the station do: run a command string
// (the text after the '!') or send a call. Both block the calling thread for
// the whole transmission. Implemented by the station over the command
// interpreter and the call encoder.
#pragma once

#include <string_view>

namespace sequelo::control {

class RemoteActions {
 public:
  virtual ~RemoteActions() = default;
  virtual void RunCommand(std::string_view commandText) = 0;
  virtual void SendCall(std::string_view code) = 0;
};

}  // namespace sequelo::control
