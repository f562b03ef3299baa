// The remote client's line splitter, fed the input in chunks of sizes the
// input itself chooses: its first byte seeds the chunk sizes (1 to 64 bytes,
// or all at once), the rest is the byte stream.
//
// Checked against a plain splitting of the whole stream: the same lines in the
// same order, each cut to kMaxLineLength, whatever the chunking; the
// unfinished line held at the end is the reference's (cut likewise); the
// splitter never holds more than kMaxLineLength bytes; Clear forgets it all.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "control/line_splitter.h"
#include "fuzz/fuzz_check.h"

namespace {

using sequelo::control::LineSplitter;

// Lines end at "\r\n" only; what follows the last one is unfinished.
std::vector<std::string> ReferenceLines(std::string_view stream, std::string_view& unfinished) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = stream.find("\r\n", start);
    if (end == std::string_view::npos) {
      break;
    }
    lines.emplace_back(stream.substr(start, std::min(end - start, LineSplitter::kMaxLineLength)));
    start = end + 2;
  }
  unfinished = stream.substr(start);
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  std::uint32_t chunkSeed = data[0];
  const std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);

  std::string_view unfinished;
  const std::vector<std::string> expected = ReferenceLines(stream, unfinished);

  LineSplitter splitter;
  std::vector<std::string> lines;
  const auto onLine = [&](std::string_view line) {
    FUZZ_CHECK(line.size() <= LineSplitter::kMaxLineLength);
    lines.emplace_back(line);
  };
  std::size_t at = 0;
  while (at < stream.size()) {
    std::size_t chunk = stream.size();
    if (chunkSeed != 0) {
      chunkSeed = chunkSeed * 1103515245u + 12345u;  // a small generator the seed drives
      chunk = 1 + (chunkSeed >> 16) % 64;
    }
    chunk = std::min(chunk, stream.size() - at);
    splitter.Feed(stream.substr(at, chunk), onLine);
    FUZZ_CHECK(splitter.PendingSize() <= LineSplitter::kMaxLineLength);
    at += chunk;
  }
  FUZZ_CHECK(lines == expected);

  // The unfinished line: all of it kept (up to the limit) but a held '\r'.
  std::string_view held = unfinished;
  if (!held.empty() && held.back() == '\r') {
    held.remove_suffix(1);
  }
  FUZZ_CHECK(splitter.PendingSize() == std::min(held.size(), LineSplitter::kMaxLineLength));

  // After Clear the splitter starts afresh: a "\n" ends no line, and a line
  // fed then comes out whole.
  splitter.Clear();
  FUZZ_CHECK(splitter.PendingSize() == 0);
  std::vector<std::string> after;
  splitter.Feed("\nx\r\n", [&](std::string_view line) { after.emplace_back(line); });
  FUZZ_CHECK(after.size() == 1 && after[0] == "\nx");
  return 0;
}
