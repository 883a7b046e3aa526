// vocetta render: what the analysis saw, as a PNG image.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "command.hpp"
#include "common.hpp"
#include "error.hpp"
#include "jobs.hpp"
#include "png.hpp"

namespace Vocetta::Tool {
namespace {

constexpr const char* kSummary =
    "Paints the phoneme texture of the whole recording, one column per frame: the column's\n"
    "colour mixes the phonemes' display colours by their scores, its opaque band grows with\n"
    "the frame's volume (relative to the loudest frame). With --mfcc, paints the MFCC matrix\n"
    "instead (coefficient 1 at the bottom, from purple at the lowest value to red at the\n"
    "highest).";

struct RenderOptions {
    CommonOptions common;
    std::vector<std::string> inputs;
    std::string output;
    bool mfcc = false;
    int height = 96;
    double blend = 0.5;
};

void AddOptions(CommandLine& line, RenderOptions& options) {
    line.Positional("AUDIO", options.inputs, "the recording to paint");
    line.Text("-o,--output", options.output, "FILE", "the PNG file to write (required)");
    line.Flag("--mfcc", options.mfcc, "paint the MFCCs instead of the phonemes");
    line.Integer("--height", options.height, 1, 8192, "N", "image height in pixels (default 96)");
    line.Number("--blend", options.blend, 0.0, 1.0, "F",
                "share of each new frame's colour, 0 ... 1 (default 0.5; 1 = none)");
    AddCommonOptions(line, options.common);
}

}  // namespace

int RunRender(const Arguments& arguments) {
    RenderOptions options;
    CommandLine line("render", kSummary);
    AddOptions(line, options);
    if (!line.Parse(arguments)) return kExitOk;
    if (options.inputs.size() != 1) throw UsageError("name one recording");
    const std::string* output = &options.output;
    if (output->empty() || *output == "-") {
        throw UsageError("name the PNG file to write with -o FILE.png");
    }
    const int height = options.height;
    const auto blend = static_cast<float>(options.blend);
    const bool mfcc = options.mfcc;
    const BatchSettings settings = BatchFromOptions(options.common, "vocetta render");
    const Profile profile = LoadProfileOrDefault(options.common.profile);
    const Host::Library library = OpenLibrary(options.common.library);
    const ColorMapExecute colorMap = ColorMapEntry(library);
    const PhonemeTextureExecute phonemeTexture = PhonemeTextureEntry(library);

    bool ok = false;
    RunBatch(
        library, profile, options.inputs, settings,
        [&](size_t, const Recording&, const Analysis& analysis) {
            const auto width = static_cast<int>(analysis.FrameCount());
            const auto columns = static_cast<size_t>(width);
            std::vector<uint32_t> pixels;
            int imageHeight = height;
            if (mfcc) {
                const int m = analysis.coefficients;
                const int rowsPerCoefficient = std::max(1, height / m);
                imageHeight = rowsPerCoefficient * m;
                std::vector<float> values(columns * static_cast<size_t>(imageHeight));
                float low = INFINITY, high = -INFINITY;
                for (size_t c = 0; c < columns; ++c) {
                    const float* vector = analysis.Mfcc(c);
                    for (int i = 0; i < m; ++i) {
                        if (std::isfinite(vector[i])) {
                            low = std::min(low, vector[i]);
                            high = std::max(high, vector[i]);
                        }
                    }
                }
                if (!(low < high)) {
                    low = 0;
                    high = 1;
                }
                for (int row = 0; row < imageHeight; ++row) {
                    const int coefficient = m - 1 - row / rowsPerCoefficient;
                    for (size_t c = 0; c < columns; ++c) {
                        values[static_cast<size_t>(row) * columns + c] =
                            analysis.Mfcc(c)[coefficient];
                    }
                }
                pixels.assign(values.size(), 0);
                ColorMapJob job{};
                job.pixels = View(pixels);
                job.values = View(values);
                job.width = width;
                job.height = imageHeight;
                job.minValue = low;
                job.maxValue = high;
                colorMap(&job);
            } else {
                std::vector<PhonemeColor> colors;
                for (const Phoneme& phoneme : profile.phonemes) {
                    colors.push_back({phoneme.color[0], phoneme.color[1], phoneme.color[2], 1.0f});
                }
                float loudest = 0;
                for (const FrameResult& frame : analysis.frames) {
                    loudest = std::max(loudest, frame.volume);
                }
                std::vector<float> levels;
                for (const FrameResult& frame : analysis.frames) {
                    levels.push_back(loudest > 0 ? frame.volume / loudest : 0.0f);
                }
                pixels.assign(columns * static_cast<size_t>(height), 0);
                PhonemeTextureJob job{};
                job.pixels = View(pixels);
                job.phonemeColors = View(colors);
                job.scores = View(analysis.scores);
                job.levels = View(levels);
                job.width = width;
                job.height = height;
                job.phonemeCount = analysis.phonemes;
                job.blendFactor = blend;
                phonemeTexture(&job);
            }
            WritePng(*output, width, imageHeight, pixels);
            ok = true;
        },
        [&](size_t, const std::string&) {});
    return ok ? kExitOk : kExitFailure;
}

}  // namespace Vocetta::Tool
