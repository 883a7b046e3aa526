// vocetta render: what the analysis saw, as a PNG image.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "command.hpp"
#include "common.hpp"
#include "error.hpp"
#include "jobs.hpp"
#include "mouth.hpp"
#include "output.hpp"
#include "png.hpp"
#include "transcript.hpp"

namespace Vocetta::Tool {
namespace {

constexpr const char* kSummary =
    "Paints the phoneme texture of the whole recording, one column per frame: the column's\n"
    "colour mixes the phonemes' display colours by their scores, its opaque band grows with\n"
    "the frame's volume (relative to the loudest frame). Smoothed, as 'vocetta analyze' labels\n"
    "frames, a column shows its phoneme's colour alone and silence stays empty; with\n"
    "--no-smoothing it mixes the raw scores. With --mfcc, paints the MFCC matrix\n"
    "instead (coefficient 1 at the bottom, from purple at the lowest value to red at the\n"
    "highest). With --cues, draws the mouth cues under the phoneme texture: a band of one\n"
    "colour per shape (grey for rest), a dark column where a cue starts.";

struct RenderOptions {
    CommonOptions common;
    MouthArguments mouth;
    std::vector<std::string> inputs;
    std::string output;
    bool mfcc = false;
    int height = 96;
    double blend = 0.5;
    int maxWidth = 16384;
    bool cues = false;
    LabelArguments labels;
    TranscriptArguments transcript;
};

void AddOptions(CommandLine& line, RenderOptions& options) {
    line.Positional("AUDIO", options.inputs, "the recording to paint");
    line.Text("-o,--output", options.output, "FILE", "the PNG file to write (required)");
    line.Flag("--mfcc", options.mfcc, "paint the MFCCs instead of the phonemes");
    line.Integer("--height", options.height, 1, 8192, "N", "image height in pixels (default 96)");
    line.Integer("--max-width", options.maxWidth, 1, 1 << 20, "N",
                 "refuse an image wider than N pixels, one per frame (default 16384)");
    line.Number("--blend", options.blend, 0.01, 1.0, "F",
                "share of each new frame's colour, 0 ... 1 (default 0.5; 1 = none)");
    line.Flag("--cues", options.cues, "draw the mouth cues under the phoneme texture");
    AddLabelOptions(line, options.labels);
    AddTranscriptOptions(line, options.transcript);
    AddMouthOptions(line, options.mouth);
    AddCommonOptions(line, options.common);
    AddCleaningOption(line, options.common);
    AddForceOption(line, options.common);
}

// The cue track as a band under the texture: a black separating row, then rows of each frame's
// shape colour, a dark column where a new cue starts.
void AppendCueBand(const CueTrack& track, const Analysis& analysis, std::vector<uint32_t>& pixels,
                   int& height) {
    const size_t width = analysis.FrameCount();
    const int rest = Host::RestShape(track.set);
    const int band = std::max(8, height / 4);
    auto pack = [](uint32_t r, uint32_t g, uint32_t b) {
        return r | g << 8 | b << 16 | 0xff000000u;
    };
    std::vector<uint32_t> row(width);
    int previous = -1;
    for (size_t column = 0; column < width; ++column) {
        const int shape = Host::ShapeAt(track.cues, analysis.frames[column].time, rest);
        const std::array<uint8_t, 3> rgb = ShapeColour(shape, rest);
        row[column] =
            column > 0 && shape != previous ? pack(0x20, 0x21, 0x24) : pack(rgb[0], rgb[1], rgb[2]);
        previous = shape;
    }
    pixels.insert(pixels.end(), width, pack(0, 0, 0));
    for (int r = 0; r < band; ++r)
        pixels.insert(pixels.end(), row.begin(), row.end());
    height += 1 + band;
}

// The MFCC matrix through the colour map, coefficient 1 at the bottom, each row of coefficients
// `height / M` pixels tall; `imageHeight` becomes that height.
std::vector<uint32_t> PaintMfcc(const Analysis& analysis, int height, ColorMapExecute colorMap,
                                int& imageHeight) {
    const auto width = static_cast<int>(analysis.FrameCount());
    const auto columns = static_cast<size_t>(width);
    std::vector<uint32_t> pixels;
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
            values[static_cast<size_t>(row) * columns + c] = analysis.Mfcc(c)[coefficient];
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
    return pixels;
}

// The phoneme texture, the band of each column as tall as its volume relative to the loudest;
// with `labels` (the smoothed track), each frame scores its label 1 and silence nothing.
std::vector<uint32_t> PaintPhonemes(const Profile& profile, const Analysis& analysis,
                                    const FrameLabels* labels, int height, float blend,
                                    PhonemeTextureExecute phonemeTexture) {
    const auto width = static_cast<int>(analysis.FrameCount());
    const auto columns = static_cast<size_t>(width);
    std::vector<uint32_t> pixels;
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
    std::vector<float> scores = analysis.scores;
    if (labels != nullptr) {
        const auto phonemes = static_cast<size_t>(analysis.phonemes);
        std::fill(scores.begin(), scores.end(), 0.0f);
        for (size_t frame = 0; frame < columns; ++frame) {
            const auto label = static_cast<size_t>(labels->frames[frame]);
            if (labels->Name(frame) == kSilenceLabel) {
                levels[frame] = 0;
            } else if (label < phonemes) {
                scores[frame * phonemes + label] = 1.0f;
            }
        }
    }
    pixels.assign(columns * static_cast<size_t>(height), 0);
    PhonemeTextureJob job{};
    job.pixels = View(pixels);
    job.phonemeColors = View(colors);
    job.scores = View(scores);
    job.levels = View(levels);
    job.width = width;
    job.height = height;
    job.phonemeCount = analysis.phonemes;
    job.blendFactor = blend;
    phonemeTexture(&job);
    return pixels;
}

}  // namespace

int RunRender(const Arguments& arguments) {
    RenderOptions options;
    CommandLine line("render", kSummary);
    AddOptions(line, options);
    if (!line.Parse(arguments)) return kExitOk;
    CheckOneRecordingToAFile(options.common, options.inputs, options.output,
                             "the PNG file to write with -o FILE.png");
    const std::string* output = &options.output;
    if (std::filesystem::path(*output).extension() != ".png") {
        throw UsageError(*output + ": render writes PNG images; name the file FILE.png");
    }
    const int height = options.height;
    const auto blend = static_cast<float>(options.blend);
    const bool mfcc = options.mfcc;
    const bool cues = options.cues;
    if (cues && mfcc) throw UsageError("--cues goes with the phoneme texture, not --mfcc");
    const LabelSettings labelling = LabelSettingsFrom(options.labels);
    // Checked once here; the band shows the cues of 'analyze --cues', the mouth resting below
    // each recording's own gate and wherever its labels say silence.
    const MouthOptions mouth = MouthFromOptions(options.mouth, 0.01f);
    const BatchSettings settings = BatchFromOptions(options.common, "vocetta render");
    const Profile profile = LoadProfileOrDefault(options.common.profile);
    const std::vector<std::optional<Transcript>> transcripts = TranscriptsFor(
        options.transcript, options.inputs, profile, labelling.smoothing, settings, false);
    const Host::ShapeMap shapeMap =
        cues ? ShapeMapFor(profile, mouth.set, ProfileOrigin(options.common.profile))
             : Host::ShapeMap{};
    const Host::Library library = OpenLibrary(options.common.library);
    const ColorMapExecute colorMap = ColorMapEntry(library);
    const PhonemeTextureExecute phonemeTexture = PhonemeTextureEntry(library);

    bool ok = false;
    RunBatch(
        library, profile, options.inputs, settings,
        [&](size_t, const Recording& recording, const Analysis& analysis) {
            if (analysis.FrameCount() > static_cast<size_t>(options.maxWidth)) {
                throw ToolError(recording.path + ": " + std::to_string(analysis.FrameCount()) +
                                " frames make an image wider than --max-width " +
                                std::to_string(options.maxWidth) +
                                " pixels; raise --hop or --max-width");
            }
            const auto width = static_cast<int>(analysis.FrameCount());
            std::vector<uint32_t> pixels;
            int imageHeight = height;
            if (mfcc) {
                pixels = PaintMfcc(analysis, height, colorMap, imageHeight);
            } else {
                // The phonemes' track, and the cues' labels: unsmoothed, the cues still follow
                // the frames' own best phonemes.
                const FrameLabels labels = LabelFrames(
                    profile, analysis, labelling, transcripts[0] ? &transcripts[0]->ipa : nullptr);
                pixels = PaintPhonemes(profile, analysis, labelling.smoothing ? &labels : nullptr,
                                       height, blend, phonemeTexture);
                if (cues) {
                    const MouthOptions own =
                        RecordingMouth(options.mouth, labels, analysis, labelling);
                    AppendCueBand(BuildCueTrack(shapeMap, own, recording, analysis, labels),
                                  analysis, pixels, imageHeight);
                }
            }
            WritePng(*output, width, imageHeight, pixels, options.common.existing());
            ok = true;
        },
        [&](size_t, const std::string&) {});
    return ok ? kExitOk : kExitFailure;
}

}  // namespace Vocetta::Tool
