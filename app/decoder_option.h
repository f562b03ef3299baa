// The --decoder option that both programs offer.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>

#include "core/selectable_decoder.h"

namespace sequelo::app {

// Adds `--decoder standard|enhanced` to `command`; `usual` says what applies
// without it.
inline CLI::Option* AddDecoderOption(CLI::App* command, std::string& name, const char* usual) {
  return command
      ->add_option(
          "--decoder", name,
          std::string("Decoder that reports codes: standard, or enhanced (more "
                      "sensitive, takes calls up to 3 % off frequency, rejects "
                      "melodies, wake tones and sirens; it also rejects a call that "
                      "runs straight into a loud tone with less than about 100 ms "
                      "pause). The standard decoder knows ZVEI and DZVEI only: with any other "
                      "set the enhanced decoder reports. Default: ") +
              usual)
      ->check(CLI::IsMember({"standard", "enhanced"}, CLI::ignore_case));
}

// The choice named by the option; none when it was not given.
inline std::optional<core::DecoderChoice> DecoderFromOption(const std::string& name) {
  return name.empty() ? std::nullopt : core::DecoderChoiceFromName(name);
}

}  // namespace sequelo::app
