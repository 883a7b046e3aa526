// Level measures over a block, and what a call through a forwarder costs over a direct call.
#include "bench_support.hpp"

namespace Vocetta::Bench {
namespace {

constexpr int32_t kBlock = 1024;

const bool kRegistered = [] {
    const std::vector<float> block = SpeechLikeSignal(kBlock, 48000.0f);
    for (const auto& [name, pick] :
         std::vector<std::pair<std::string, VocettaEntry_PeakMagnitude Host::Entries::*>>{
             {"PeakMagnitude", &Host::Entries::_PeakMagnitude},
             {"RootMeanSquare", &Host::Entries::_RootMeanSquare},
             {"EuclideanNorm", &Host::Entries::_EuclideanNorm}}) {
        RegisterEachBuild(
            name + "/1024",
            [block, pick](benchmark::State& state, const Host::Entries& entries, Host::Variant) {
                const auto measure = entries.*pick;
                for (auto _ : state)
                    benchmark::DoNotOptimize(measure(block.data(), kBlock));
                state.SetItemsProcessed(state.iterations() * kBlock);
            });
    }
    // _ReturnOne does nothing, so these two time the call itself.
    benchmark::RegisterBenchmark("Call/forwarder", [](benchmark::State& state) {
        const auto returnOne = Library().entries()._ReturnOne;
        for (auto _ : state)
            benchmark::DoNotOptimize(returnOne());
    });
    benchmark::RegisterBenchmark("Call/variant", [](benchmark::State& state) {
        const auto returnOne = Library().variant(Host::SelectedVariant())._ReturnOne;
        for (auto _ : state)
            benchmark::DoNotOptimize(returnOne());
    });
    return true;
}();

}  // namespace
}  // namespace Vocetta::Bench
