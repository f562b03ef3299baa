// The answer to a received call: when it matches the own code, the answer
// the operator chose (own code, fixed code or command string, wave file) is
// posted to the transmit queue to start the response delay after the
// call's end; the own code or the own group can also play an alert sound on
// the local output. A subscriber of the call events: runs on its own
// thread, and reads the operator's choices as they are at each call.
#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "audio/tone_generator.h"
#include "control/call_events.h"
#include "control/work_queue.h"
#include "core/event_log.h"
#include "core/message_sink.h"
#include "tx/sequence_encoder.h"
#include "tx/transmit_queue.h"

namespace sequelo::control {

// The response radio group; kUnset when none is checked.
enum class ResponseAction {
  kUnset = -1,
  kNothing = 0,
  kSendOwnCode = 1,
  kSendFixed = 2,
  kSendSound = 3
};

// The operator's choices for answering, as the settings hold them.
struct AnswerSettings {
  std::string ownCode = "0";
  std::string ownGroup = "0";
  std::string delayText = "1000";  // the Delay field as typed (ms)
  ResponseAction action = ResponseAction::kNothing;
  std::string fixedText = "0";  // a code, or a '!' command string
  std::string waveFileToSend;
  bool playSoundOnRx = false;
  std::string waveFileToPlay;
  bool operator==(const AnswerSettings&) const = default;
};

// Plays alert sounds on the local output, one after another, on a thread of
// its own: never on the event thread or the transmitter's. Post never waits;
// alerts beyond a few waiting are dropped.
class AlertPlayer {
 public:
  static constexpr std::size_t kWaitingAlerts = 8;
  // Both must outlive the player.
  AlertPlayer(audio::ToneGenerator& tones, core::MessageSink& messages);
  void Start() { queue_.Start(); }
  // Drops the waiting alerts and cuts the one playing short (shut-down).
  void Stop() {
    stop_ = true;
    queue_.Clear();
    queue_.Stop();
  }
  void Play(std::string path) { queue_.Post(std::move(path)); }
  void WaitIdle() { queue_.WaitIdle(); }
  // Alerts waiting or playing.
  std::size_t Waiting() const { return queue_.Pending(); }

 private:
  std::atomic<bool> stop_{false};
  WorkQueue<std::string> queue_;
};

class CallResponder final : public CallSubscriber {
 public:
  // How long after its release a call heard may still be our own answer:
  // the decoder reports a call up to about 300 ms after its end, and the
  // sound path adds some tens of milliseconds.
  static constexpr std::uint32_t kOwnEchoMarginMs = 500;
  using AnswerSource = std::function<AnswerSettings()>;
  using CallOptionsSource = std::function<tx::CallOptions()>;
  // All must outlive the responder.
  CallResponder(AnswerSource answer, CallOptionsSource callOptions, core::EventLog& log,
                tx::TransmitQueue& transmitter, AlertPlayer& alerts, core::MessageSink& messages);

  void OnCall(const CallEvent& event) override;

 private:
  // Logs "Waiting <ms> ms...", posts the answer to start `delayMs` after the
  // call's end and waits for it to end; reports a syntax error or a wave
  // file the program cannot play once the transmitter is free.
  void Answer(const CallEvent& event, std::uint32_t delayMs, tx::TransmitJob job);
  // True when the call ended while our last answer was on the air (or just
  // after it): a receiver hearing our own transmitter.
  bool HeardOurAnswer(const CallEvent& event) const;

  struct OnAir {
    std::uint32_t fromMs;
    std::uint32_t untilMs;
  };

  AnswerSource answer_;
  CallOptionsSource callOptions_;
  core::EventLog& log_;
  tx::TransmitQueue& transmitter_;
  AlertPlayer& alerts_;
  core::MessageSink& messages_;
  std::optional<OnAir> lastAnswer_;  // responder thread (the job's write is waited for)
};

}  // namespace sequelo::control
