// The "decode" command of sequelo-cli: decode calls from audio files or a
// raw sample stream and print one line per code.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "app/decode_output.h"
#include "app/file_decode.h"

namespace sequelo::app {

struct DecodeCommand {
  DecodeOptions decode;
  OutputFormat format = OutputFormat::kText;
  int rawRateHz = 0;                // > 0: inputs are raw s16le mono at this rate
  std::vector<std::string> inputs;  // paths; "-" is standard input
};

// Decodes every input in turn and writes codes to `out`, analysis lines and
// errors to `err`. An input that cannot be read is reported and skipped.
// Returns 0 if every input was decoded, 1 if any failed.
int RunDecodeCommand(const DecodeCommand& command, std::FILE* out, std::FILE* err);

}  // namespace sequelo::app
