// The reaction to every received code: show it, log it, forward it to the
// remote client, and when it matches the own code, wait the response delay
// and answer as the operator chose (own code, fixed code or command string,
// wave file); the own code or the own group can also play an alert sound on
// the local output. Runs on the capture thread and blocks it for the whole
// reaction. The operator's choices are read at the moment of each code.
#pragma once

#include <string>
#include <string_view>

#include "audio/tone_generator.h"
#include "control/command_interpreter.h"
#include "core/clock.h"
#include "core/decoder_sinks.h"
#include "core/event_log.h"
#include "core/message_sink.h"
#include "core/transmitter.h"
#include "tx/sequence_encoder.h"

namespace sequelo::control {

enum class ResponseAction { kNothing = 0, kSendOwnCode = 1, kSendFixed = 2, kSendSound = 3 };

// The controls the reaction reads (the window's widgets, or the headless
// station's record) and the one it writes. Any thread.
class ResponderControls {
 public:
  virtual ~ResponderControls() = default;
  virtual void ShowReceivedCode(std::string_view code) = 0;
  virtual std::string OwnCode() = 0;
  virtual std::string OwnGroup() = 0;
  virtual std::string DelayText() = 0;
  // The checked response button; -1 when none is checked.
  virtual int Action() = 0;
  virtual std::string FixedText() = 0;
  virtual std::string WaveFileToSend() = 0;
  virtual bool PlaySoundOnRx() = 0;
  virtual std::string WaveFileToPlay() = 0;
};

// Where received codes go to the remote client (nothing when none is there).
class RemoteClient {
 public:
  virtual ~RemoteClient() = default;
  virtual void SendToClient(std::string_view code) = 0;
};

// The response delay field: an unsigned number, 0 when empty or not a number.
std::uint32_t ParseDelayMs(std::string_view text);

class CallResponder final : public core::CodeHandler {
 public:
  // All must outlive the responder.
  CallResponder(ResponderControls& controls, core::EventLog& log, RemoteClient& client,
                tx::SequenceEncoder& encoder, CommandInterpreter& commands,
                audio::ToneGenerator& tones, core::Transmitter& ptt, core::MessageSink& messages,
                core::Sleeper& sleeper);

  void HandleReceivedCode(std::string_view code) override;
  // Logs "Waiting <ms> ms..." and waits.
  void WaitBeforeResponse(std::uint32_t delayMs);

 private:
  void PlayAlert();

  ResponderControls& controls_;
  core::EventLog& log_;
  RemoteClient& client_;
  tx::SequenceEncoder& encoder_;
  CommandInterpreter& commands_;
  audio::ToneGenerator& tones_;
  core::Transmitter& ptt_;
  core::MessageSink& messages_;
  core::Sleeper& sleeper_;
};

}  // namespace sequelo::control
