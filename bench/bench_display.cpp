// The display textures at the sizes a debug overlay shows: a 256 x 64 colour map (a spectrogram
// strip) and a 512 x 64 phoneme texture of 5 phonemes.
#include <cmath>
#include <vector>

#include "bench_support.hpp"

namespace Vocetta::Bench {
namespace {

NativeArray View(void* pointer, size_t count) {
    return NativeArray{pointer, static_cast<int32_t>(count), VOCETTA_ALLOCATOR_NONE};
}

const bool kRegistered = [] {
    RegisterEachBuild("ColorMap/256x64",
                      [](benchmark::State& state, const Host::Entries& entries, Host::Variant) {
                          constexpr int32_t kWidth = 256, kHeight = 64;
                          // A spectrogram-like grid: each row a speech block's levels, spanning the
                          // whole ramp.
                          std::vector<float> values = SpeechLikeSignal(kWidth * kHeight, 16000.0f);
                          std::vector<uint32_t> pixels(values.size());
                          ColorMapJob job{View(pixels.data(), pixels.size()),
                                          View(values.data(), values.size()),
                                          kWidth,
                                          kHeight,
                                          -1.0f,
                                          1.0f};
                          for (auto _ : state) {
                              entries.ColorMapJob_Execute(&job);
                              benchmark::DoNotOptimize(pixels.data());
                              benchmark::ClobberMemory();
                          }
                          state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
                      });

    RegisterEachBuild("PhonemeTexture/512x64/5",
                      [](benchmark::State& state, const Host::Entries& entries, Host::Variant) {
                          constexpr int32_t kWidth = 512, kHeight = 64, kPhonemes = 5;
                          std::vector<PhonemeColor> colors = {{1.0f, 0.2f, 0.2f, 1.0f},
                                                              {0.2f, 1.0f, 0.2f, 1.0f},
                                                              {0.2f, 0.2f, 1.0f, 1.0f},
                                                              {1.0f, 1.0f, 0.2f, 1.0f},
                                                              {0.8f, 0.2f, 1.0f, 1.0f}};
                          std::vector<float> scores(kWidth * kPhonemes), levels(kWidth);
                          for (int32_t c = 0; c < kWidth; ++c) {
                              float sum = 0.0f;
                              for (int32_t p = 0; p < kPhonemes; ++p) {
                                  const float score = 1.0f + std::sin(0.05f * c * (p + 1));
                                  scores[c * kPhonemes + p] = score;
                                  sum += score;
                              }
                              for (int32_t p = 0; p < kPhonemes; ++p)
                                  scores[c * kPhonemes + p] /= sum;
                              levels[c] = 0.5f + 0.5f * std::sin(0.02f * c);
                          }
                          std::vector<uint32_t> pixels(kWidth * kHeight);
                          PhonemeTextureJob job{View(pixels.data(), pixels.size()),
                                                View(colors.data(), colors.size()),
                                                View(scores.data(), scores.size()),
                                                View(levels.data(), levels.size()),
                                                kWidth,
                                                kHeight,
                                                kPhonemes,
                                                0.3f};
                          for (auto _ : state) {
                              entries.PhonemeTextureJob_Execute(&job);
                              benchmark::DoNotOptimize(pixels.data());
                              benchmark::ClobberMemory();
                          }
                          state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
                      });
    return true;
}();

}  // namespace
}  // namespace Vocetta::Bench
