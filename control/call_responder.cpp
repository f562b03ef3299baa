#include "control/call_responder.h"

#include "audio/wave_file.h"
#include "core/tone_set.h"

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

std::uint32_t ParseDelayMs(std::string_view text) {
  if (text.empty()) {
    return 0;
  }
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return 0;
    }
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > UINT32_MAX) {
      return 0;
    }
  }
  return static_cast<std::uint32_t>(value);
}

CallResponder::CallResponder(ResponderControls& controls, core::EventLog& log, RemoteClient& client,
                             tx::SequenceEncoder& encoder, CommandInterpreter& commands,
                             audio::ToneGenerator& tones, core::Transmitter& ptt,
                             core::MessageSink& messages, core::Sleeper& sleeper)
    : controls_(controls),
      log_(log),
      client_(client),
      encoder_(encoder),
      commands_(commands),
      tones_(tones),
      ptt_(ptt),
      messages_(messages),
      sleeper_(sleeper) {}

void CallResponder::WaitBeforeResponse(std::uint32_t delayMs) {
  log_.Report("Waiting " + std::to_string(delayMs) + " ms...");
  sleeper_.SleepMs(delayMs);
}

void CallResponder::PlayAlert() {
  audio::PlayWaveFile(tones_, ptt_, messages_, Cut(controls_.WaveFileToPlay(), kPathChars), 0);
}

void CallResponder::HandleReceivedCode(std::string_view code) {
  controls_.ShowReceivedCode(code);
  log_.Report("Code received: " + std::string(code));
  client_.SendToClient(code);
  const std::uint32_t delayMs = ParseDelayMs(controls_.DelayText());
  const std::string ownCode = Cut(controls_.OwnCode(), kCodeFieldChars);
  const std::string ownGroup = Cut(controls_.OwnGroup(), kCodeFieldChars);

  if (core::MatchCode(code, ownCode)) {
    const int action = controls_.Action();
    if (action == static_cast<int>(ResponseAction::kSendOwnCode)) {
      WaitBeforeResponse(delayMs);
      encoder_.SendCall(ownCode);
      log_.Report("Responding with own code: " + ownCode);
    } else if (action == static_cast<int>(ResponseAction::kSendFixed)) {
      const std::string fixed = Cut(controls_.FixedText(), kFixedTextChars);
      WaitBeforeResponse(delayMs);
      log_.Report("Responding with fixed: " + fixed);
      if (!fixed.empty() && fixed.front() == '!') {
        commands_.Run(std::string_view(fixed).substr(1));
      } else {
        encoder_.SendCall(fixed);
      }
    } else if (action == static_cast<int>(ResponseAction::kSendSound)) {
      const std::string path = Cut(controls_.WaveFileToSend(), kPathChars);
      WaitBeforeResponse(delayMs);
      audio::PlayWaveFile(tones_, ptt_, messages_, path, 1);
      log_.Report("Responding with wave file: " + path);
    }
    if (controls_.PlaySoundOnRx()) {
      PlayAlert();
    }
  }
  // The own group, independently: only the alert sound.
  if (core::MatchCode(code, ownGroup) && controls_.PlaySoundOnRx()) {
    PlayAlert();
  }
}

}  // namespace sequelo::control
