#include "control/call_responder.h"

#include "audio/wave_file.h"
#include "control/command_interpreter.h"
#include "control/command_text.h"
#include "core/tone_set.h"
#include "tx/wave_send.h"

namespace sequelo::control {
namespace {
constexpr std::size_t kCodeFieldChars = 31;
constexpr std::size_t kFixedTextChars = 1023;
constexpr std::size_t kPathChars = 255;

std::string Cut(std::string text, std::size_t chars) {
  if (text.size() > chars) {
    text.resize(chars);
  }
  return text;
}
}  // namespace

AlertPlayer::AlertPlayer(audio::ToneGenerator& tones, core::MessageSink& messages)
    : queue_(kWaitingAlerts, [this, &tones, &messages](std::string& path) {
        audio::ReportWaveOutcome(audio::PlayWaveFileLocal(tones, path, &stop_), messages);
      }) {}

CallResponder::CallResponder(AnswerSource answer, CallOptionsSource callOptions,
                             core::EventLog& log, tx::TransmitQueue& transmitter,
                             AlertPlayer& alerts, core::MessageSink& messages)
    : answer_(std::move(answer)),
      callOptions_(std::move(callOptions)),
      log_(log),
      transmitter_(transmitter),
      alerts_(alerts),
      messages_(messages) {}

void CallResponder::Answer(const CallEvent& event, std::uint32_t delayMs, tx::TransmitJob job) {
  log_.Report("Waiting " + std::to_string(delayMs) + " ms...");
  transmitter_
      .Post(
          [&](tx::Transmission& tx) {
            const std::uint32_t fromMs = transmitter_.NowMs();
            job(tx);
            if (tx.EverKeyed()) {
              lastAnswer_ = OnAir{fromMs, transmitter_.NowMs()};
            }
          },
          event.endTickMs + delayMs)
      ->Wait();
}

bool CallResponder::HeardOurAnswer(const CallEvent& event) const {
  if (!lastAnswer_) {
    return false;
  }
  // Ticks wrap: compare differences.
  return static_cast<std::int32_t>(event.endTickMs - lastAnswer_->fromMs) >= 0 &&
         static_cast<std::int32_t>(event.endTickMs - (lastAnswer_->untilMs + kOwnEchoMarginMs)) <=
             0;
}

void CallResponder::OnCall(const CallEvent& event) {
  const AnswerSettings s = answer_();
  const std::string_view code = event.Called();
  const std::uint32_t delayMs = ParseDelayMs(s.delayText);
  const std::string ownCode = Cut(s.ownCode, kCodeFieldChars);
  const std::string ownGroup = Cut(s.ownGroup, kCodeFieldChars);

  const bool ownMatch = core::MatchCode(code, ownCode);
  const bool groupMatch = core::MatchCode(code, ownGroup);
  // A receiver that hears our own transmitter would have us answer our own
  // answer, again and again: a call heard while our answer was on the air
  // gets no reaction.
  if ((ownMatch || groupMatch) && HeardOurAnswer(event)) {
    log_.Report("Own answer heard back, not answered: " + event.code);
    return;
  }
  if (ownMatch) {
    const tx::CallOptions options = callOptions_();
    if (s.action == ResponseAction::kSendOwnCode) {
      Answer(event, delayMs, [&](tx::Transmission& tx) {
        tx::SendCall(tx, ownCode, options);
        if (!tx.Stopped()) {
          log_.Report("Responding with own code: " + ownCode);
        }
      });
    } else if (s.action == ResponseAction::kSendFixed) {
      const std::string fixed = Cut(s.fixedText, kFixedTextChars);
      const auto command = CommandStringOf(fixed);
      // A command string is checked whole before anything is keyed.
      const std::string refusal =
          command ? CommandStringRefusal(*command, options, transmitter_.Limits().maxKeyMs) : "";
      if (refusal == kSyntaxError) {
        messages_.ShowMessage(kSyntaxError);
      } else if (!refusal.empty()) {
        log_.Report("Fixed answer not sent: " + refusal);
      } else {
        Answer(event, delayMs, [&](tx::Transmission& tx) {
          log_.Report("Responding with fixed: " + fixed);
          if (command) {
            RunCommandString(tx, *command, options, log_);
          } else {
            tx::SendCall(tx, fixed, options);
          }
        });
      }
    } else if (s.action == ResponseAction::kSendSound) {
      const std::string path = Cut(s.waveFileToSend, kPathChars);
      audio::WaveOutcome outcome = audio::WaveOutcome::kFailed;
      const std::uint32_t maxKeyMs = transmitter_.Limits().maxKeyMs;
      const std::uint64_t maxSoundMs = maxKeyMs - std::min(maxKeyMs, options.txDelayMs);
      Answer(event, delayMs, [&](tx::Transmission& tx) {
        outcome = tx::SendWaveFile(tx, path, maxSoundMs);
        if (!tx.Stopped()) {
          log_.Report("Responding with wave file: " + path);
        }
      });
      audio::ReportWaveOutcome(outcome, messages_);
    }
    if (s.playSoundOnRx) {
      alerts_.Play(Cut(s.waveFileToPlay, kPathChars));
    }
  }
  // The own group, independently: only the alert sound.
  if (groupMatch && s.playSoundOnRx) {
    alerts_.Play(Cut(s.waveFileToPlay, kPathChars));
  }
}

}  // namespace sequelo::control
