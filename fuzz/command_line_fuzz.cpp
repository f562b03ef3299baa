// The ExecHook setting's splitter (SplitCommandLine), fed any bytes.
//
// Checked: an error leaves no words and says one of the known reasons; a
// split line has a program (a first word that is not empty), and its words
// hold no more bytes than the line; the words written back as double-quoted
// words (\ and " escaped) split into the same words again.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "control/exec_hook.h"
#include "fuzz/fuzz_check.h"

namespace {

std::string Quoted(const std::string& word) {
  std::string out = "\"";
  for (const char c : word) {
    if (c == '"' || c == '\\') {
      out += '\\';
    }
    out += c;
  }
  return out + "\"";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const sequelo::control::CommandLineWords split = sequelo::control::SplitCommandLine(line);
  if (!split.error.empty()) {
    FUZZ_CHECK(split.words.empty());
    FUZZ_CHECK(split.error == "unterminated double quote" ||
               split.error == "unterminated single quote" || split.error == "no program" ||
               split.error == "NUL character");
    return 0;
  }
  FUZZ_CHECK(!split.words.empty() && !split.words.front().empty());
  std::size_t bytes = 0;
  std::string again;
  for (const std::string& word : split.words) {
    FUZZ_CHECK(word.find('\0') == std::string::npos);
    bytes += word.size();
    again += (again.empty() ? "" : " ") + Quoted(word);
  }
  FUZZ_CHECK(bytes <= size);
  const sequelo::control::CommandLineWords resplit = sequelo::control::SplitCommandLine(again);
  FUZZ_CHECK(resplit.error.empty() && resplit.words == split.words);
  return 0;
}
