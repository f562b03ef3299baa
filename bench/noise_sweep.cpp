// Decoder sensitivity: the share of random calls decoded, and the wrong codes,
// at several signal-to-noise ratios (tone power against white noise power in
// 0..3000 Hz), for both tone sets. Usage: sequelo-noise-sweep [CALLS]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/decode_helpers.h"

int main(int argc, char** argv) {
  using namespace sequelo;
  const int calls = argc > 1 ? std::atoi(argv[1]) : 1000;
  if (calls <= 0) {
    std::fprintf(stderr, "usage: sequelo-noise-sweep [CALLS]\n");
    return 2;
  }
  std::printf("%-6s %7s %9s %7s %7s\n", "mode", "SNR dB", "decoded", "share", "wrong");
  for (int mode : {core::kModeZvei, core::kModeDzvei}) {
    for (double snr : {20.0, 15.0, 10.0, 6.0}) {
      const auto score = testsupport::ScoreInNoise(mode, snr, calls, 50000);
      std::printf("%-6s %7.0f %4d/%-4d %6.1f%% %7d\n",
                  std::string(core::kModeNames[static_cast<std::size_t>(mode)]).c_str(), snr,
                  score.decoded, calls, 100.0 * score.decoded / calls, score.wrong);
      std::fflush(stdout);
    }
  }
  return 0;
}
