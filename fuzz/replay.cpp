// A fuzz target without libFuzzer: runs the empty input and every file of the directories (or
// files) named on the command line once, in name order, through the target's own entry points.
// The normal build runs each target's seed corpus this way as a test, so every target keeps
// compiling and every seed stays a regression case.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::vector<std::filesystem::path> InputsOf(const std::filesystem::path& path) {
    std::vector<std::filesystem::path> inputs;
    if (std::filesystem::is_directory(path)) {
        for (const auto& entry : std::filesystem::directory_iterator(path)) {
            if (entry.is_regular_file()) inputs.push_back(entry.path());
        }
        std::sort(inputs.begin(), inputs.end());
    } else if (std::filesystem::is_regular_file(path)) {
        inputs.push_back(path);
    }
    return inputs;
}

}  // namespace

int main(int argc, char** argv) {
    LLVMFuzzerInitialize(&argc, &argv);
    LLVMFuzzerTestOneInput(nullptr, 0);
    size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        const std::vector<std::filesystem::path> inputs = InputsOf(argv[i]);
        // A corpus that went missing or empty would make this test pass without testing.
        if (inputs.empty()) {
            std::fprintf(stderr, "%s: no inputs to replay\n", argv[i]);
            return 1;
        }
        for (const std::filesystem::path& input : inputs) {
            std::ifstream file(input, std::ios::binary);
            if (!file) {
                std::fprintf(stderr, "%s: cannot be read\n", input.c_str());
                return 1;
            }
            const std::vector<char> bytes{std::istreambuf_iterator<char>(file),
                                          std::istreambuf_iterator<char>()};
            std::printf("%s\n", input.c_str());
            std::fflush(stdout);  // a finding aborts: the last name printed is the input
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
            ++replayed;
        }
    }
    std::printf("%zu inputs replayed\n", replayed + 1);
    return 0;
}
