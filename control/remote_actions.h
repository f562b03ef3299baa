// What a remote client's lines make the station do: run a command string
// (the text after the '!') or send a call. Neither waits for the
// transmission: it is queued behind those before it, or refused. Implemented
// by the station over the transmit queue. Called on the server's event
// thread.
#pragma once

#include <string>
#include <string_view>

namespace sequelo::control {

class RemoteActions {
 public:
  virtual ~RemoteActions() = default;
  // "" when queued; else why it was refused (the server logs it).
  virtual std::string RunCommand(std::string_view commandText) = 0;
  virtual std::string SendCall(std::string_view code) = 0;
};

}  // namespace sequelo::control
