// Live decoding latency: calls played into the Loopback output are captured
// from the Loopback input and decoded; for each call, the time from the end
// of its last tone (the moment the output stream has played the last sample,
// when the transmitter is released) to the code reaching the code handler.
// Negative values: the code was complete before the tone had ended (the
// detector accepts a tone on its second hit). Usage: sequelo-listen-latency [CALLS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

#include "audio/audio_system.h"
#include "audio/recorder.h"
#include "audio/tone_generator.h"
#include "core/tone_decoder.h"
#include "tx/sequence_encoder.h"

namespace {
using namespace sequelo;
using Clock = std::chrono::steady_clock;

class ReleaseTime final : public core::Transmitter {
 public:
  bool KeyTransmitter() override { return true; }
  void ReleaseTransmitter() override { released = Clock::now(); }
  Clock::time_point released{};
};

class CodeTime final : public core::CodeHandler {
 public:
  void HandleReceivedCode(std::string_view) override {
    std::lock_guard lock(mutex);
    heard = Clock::now();
    ++count;
  }
  std::mutex mutex;
  Clock::time_point heard{};
  int count = 0;
};
}  // namespace

int main(int argc, char** argv) {
  const int calls = argc > 1 ? std::atoi(argv[1]) : 20;
  audio::AudioSystem audio(nullptr);
  audio::ToneGenerator tones(audio);
  tones.ListOutputDevices();
  tones.OpenOutputDevices(0);  // Loopback
  core::SteadyTickClock clock;
  core::ToneDecoder decoder(clock);
  decoder.SetToneSet(core::BuiltInToneSet(core::kModeZvei));
  CodeTime codes;
  decoder.SetSinks({nullptr, &codes, nullptr});
  audio::Recorder recorder(audio);
  const auto inputs = audio::ListInputDevices(audio);
  if (!audio::StartCapture(recorder, inputs, static_cast<int>(inputs.size()) - 1,
                           [&](core::CaptureBuffer b) { decoder.AnalyseBuffer(b); })) {
    std::fprintf(stderr, "cannot capture from Loopback\n");
    return 1;
  }
  ReleaseTime ptt;
  tx::SequenceEncoder encoder(tones, ptt, tx::CallOptionsForMode(core::kModeZvei));
  std::vector<double> latenciesMs;
  for (int i = 0; i < calls; ++i) {
    const int before = codes.count;
    encoder.SendCall("12345");
    const Clock::time_point end = ptt.released;
    const Clock::time_point deadline = end + std::chrono::milliseconds(500);
    while (Clock::now() < deadline) {
      {
        std::lock_guard lock(codes.mutex);
        if (codes.count > before) {
          break;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::lock_guard lock(codes.mutex);
    if (codes.count > before) {
      latenciesMs.push_back(std::chrono::duration<double, std::milli>(codes.heard - end).count());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(150));  // past the dead time
  }
  audio::StopCapture(recorder);
  if (latenciesMs.empty()) {
    std::printf("no call decoded\n");
    return 1;
  }
  std::sort(latenciesMs.begin(), latenciesMs.end());
  const double mean = std::accumulate(latenciesMs.begin(), latenciesMs.end(), 0.0) /
                      static_cast<double>(latenciesMs.size());
  std::printf(
      "calls decoded: %zu of %d; end of last tone -> code: min %.1f ms, mean %.1f ms, max %.1f ms "
      "(target: no later than 50 ms); buffers lost: %llu\n",
      latenciesMs.size(), calls, latenciesMs.front(), mean, latenciesMs.back(),
      static_cast<unsigned long long>(recorder.LostBuffers()));
  return 0;
}
