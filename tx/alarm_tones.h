// The pieces of an alarm sent in one keying: the call again and again with
// pauses on the air between, the caller's code after a separator, and what
// follows the call for a receiver's alerting: the intermittent wake tone or
// a siren double tone. Each keys the transmitter first if it is not keyed
// yet, and none releases it: the job that sends the alarm releases once,
// after the last piece has played. Pauses are silence written to the
// device, so they last exactly as long on the air.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "core/tone_set.h"
#include "core/trailer_detector.h"
#include "tx/sequence_encoder.h"
#include "tx/transmission.h"

namespace sequelo::tx {

// The wake tone's cadence: on and off, again and again.
inline constexpr std::uint32_t kWakeOnMs = 800;
inline constexpr std::uint32_t kWakeOffMs = 300;
inline constexpr std::uint32_t kDefaultAlarmPauseMs = 600;

// The letter of the tone that separates a called code from the caller's:
// the set's special tone at 970 Hz where it has one (ZVEI1 C, ZVEI2 E),
// else its first special tone; '\0' for a set without special tones.
char SeparatorLetter(const core::ToneSet& toneSet);

// The siren of number `number` (1 = the first double tone of the table, in
// table order), or null.
const core::TrailerClass* SirenClass(const std::vector<core::TrailerClass>& table, int number);
// The table's intermittent single tone (the wake tone), or null.
const core::TrailerClass* WakeClass(const std::vector<core::TrailerClass>& table);

// The five tones of `code` (with the pilot tone when this keys the
// transmitter).
void PlayKeyedCall(Transmission& tx, std::string_view code, const CallOptions& options);
// The separator and `options.ownCode`. False (nothing played) when the set
// has no separator or there is no own code.
bool PlayCaller(Transmission& tx, const CallOptions& options);
// Silence on the air.
void PlayQuiet(Transmission& tx, std::uint32_t ms);
// The wake tone of `options.trailerClasses` for `ms`, ending on an on-period
// cut short where the length says. False when the table has none.
bool PlayWakeTone(Transmission& tx, const CallOptions& options, std::uint32_t ms);
// The siren's two tones for `ms`. False when there is no such siren.
bool PlaySiren(Transmission& tx, const CallOptions& options, int number, std::uint32_t ms);

}  // namespace sequelo::tx
