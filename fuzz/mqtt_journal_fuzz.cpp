// The MQTT forwarder's queue file as read back from disk: the input is one
// line for ParseJournalLine, and a whole file for JournalReader, fed in
// pieces whose sizes the input's first byte seeds.
//
// Checked: a line that parses is written again (JournalAddLine or
// JournalDoneLine) to a line that parses to the same record; the reader
// keeps at most its limit of events, with rising numbers no higher than
// LastSeq, each of which round-trips; it counts no more bad lines than the
// file has lines; and it reads the same whether fed whole or in pieces.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "control/alarm_event.h"
#include "control/mqtt_journal.h"
#include "fuzz/fuzz_check.h"

namespace {

using sequelo::control::AlarmEventJson;
using sequelo::control::JournalAddLine;
using sequelo::control::JournalDoneLine;
using sequelo::control::JournalLine;
using sequelo::control::JournalReader;
using sequelo::control::ParseJournalLine;

constexpr std::size_t kLimit = 8;

std::string WithoutLineFeed(std::string line) {
  FUZZ_CHECK(!line.empty() && line.back() == '\n');
  line.pop_back();
  return line;
}

void CheckRoundTrip(const JournalLine& line) {
  const std::string again = WithoutLineFeed(
      line.kind == JournalLine::Kind::kAdd ? JournalAddLine(line.seq, AlarmEventJson(line.event))
                                           : JournalDoneLine(line.seq));
  if (again.size() > sequelo::control::kMaxJournalLineBytes) {
    return;  // escapes written longer than they were read: refused when appended
  }
  const auto parsed = ParseJournalLine(again);
  FUZZ_CHECK(parsed.has_value());
  FUZZ_CHECK(parsed->kind == line.kind && parsed->seq == line.seq);
  if (line.kind == JournalLine::Kind::kAdd) {
    FUZZ_CHECK(AlarmEventJson(parsed->event) == AlarmEventJson(line.event));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const auto line = ParseJournalLine(text)) {
    CheckRoundTrip(*line);
  }
  if (size == 0) {
    return 0;
  }

  std::uint32_t chunkSeed = data[0];
  const std::string_view file = text.substr(1);
  JournalReader pieces(kLimit);
  std::size_t at = 0;
  while (at < file.size()) {
    std::size_t chunk = file.size();
    if (chunkSeed != 0) {
      chunkSeed = chunkSeed * 1103515245u + 12345u;
      chunk = 1 + (chunkSeed >> 16) % 256;
    }
    chunk = std::min(chunk, file.size() - at);
    pieces.Feed(file.substr(at, chunk));
    at += chunk;
  }
  pieces.Finish();

  FUZZ_CHECK(pieces.Waiting().size() <= kLimit);
  const auto lines = static_cast<std::size_t>(std::count(file.begin(), file.end(), '\n')) + 1;
  FUZZ_CHECK(pieces.BadLines() <= lines);
  std::uint64_t previous = 0;
  for (const auto& [seq, event] : pieces.Waiting()) {
    FUZZ_CHECK(seq > previous && seq <= pieces.LastSeq());
    previous = seq;
    JournalLine line;
    line.seq = seq;
    line.event = event;
    CheckRoundTrip(line);
  }

  JournalReader whole(kLimit);
  whole.Feed(file);
  whole.Finish();
  FUZZ_CHECK(whole.BadLines() == pieces.BadLines() && whole.Dropped() == pieces.Dropped() &&
             whole.LastSeq() == pieces.LastSeq() &&
             whole.Waiting().size() == pieces.Waiting().size());
  for (auto a = whole.Waiting().begin(), b = pieces.Waiting().begin(); a != whole.Waiting().end();
       ++a, ++b) {
    FUZZ_CHECK(a->first == b->first && AlarmEventJson(a->second) == AlarmEventJson(b->second));
  }
  return 0;
}
