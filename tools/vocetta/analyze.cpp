// vocetta analyze: phoneme timelines of recordings.
#include <cstdio>
#include <filesystem>

#include "command.hpp"
#include "common.hpp"
#include "cue_export.hpp"
#include "error.hpp"
#include "mouth.hpp"
#include "output.hpp"
#include "timeline.hpp"

namespace Vocetta::Tool {
namespace {

constexpr const char* kHelp =
    "usage: vocetta analyze [options] AUDIO...\n"
    "\n"
    "Runs the lip-sync job over each recording (WAV, FLAC, Ogg/Vorbis, AIFF, ...; several\n"
    "channels are mixed to mono) and writes one row per frame: time (centre of the block, s),\n"
    "phoneme, volume (RMS) and every phoneme's score. With --segments, frames are merged into\n"
    "timed segments (start, end, phoneme) for animation. With --cues, writes mouth cues:\n"
    "contiguous spans from 0 to the end of the recording, each showing one mouth shape.\n"
    "\n"
    "  -o, --output PATH    output file ('-' for standard output, the default for one input);\n"
    "                       with several inputs a directory that receives NAME.csv etc.\n"
    "  -f, --format FMT     csv, tsv or json (default: from the output's extension, else csv);\n"
    "                       with --cues tsv, json, xml or dat (default: extension, else tsv)\n"
    "  -s, --segments       write segments instead of frames\n"
    "      --min-segment MS segments shorter than this join a neighbour (default 0)\n"
    "      --cues           write mouth cues instead of frames\n"
    "      --fps N          animation frame rate of dat files and keyframes (default 24)\n"
    "      --keyframes      tsv and json cues: the shape of every animation frame as well\n";

struct Target {
    std::string path;  // "-" for standard output
};

CueFormat ChooseCueFormat(const Options& options, const std::string& output) {
    if (const auto name = options.Value("--format")) return ParseCueFormat(*name);
    const std::string extension = std::filesystem::path(output).extension().string();
    for (CueFormat format : {CueFormat::Json, CueFormat::Xml, CueFormat::Dat}) {
        if (extension == CueFormatExtension(format)) return format;
    }
    return CueFormat::Tsv;
}

Format ChooseFormat(const Options& options, const std::string& output) {
    if (const auto name = options.Value("--format")) return ParseFormat(*name);
    const std::string extension = std::filesystem::path(output).extension().string();
    if (extension == ".tsv") return Format::Tsv;
    if (extension == ".json") return Format::Json;
    return Format::Csv;
}

}  // namespace

int RunAnalyze(const Arguments& arguments) {
    const Options options(
        arguments,
        {VOCETTA_COMMON_OPTIONS, OptionSpec{"-o", "--output", true},
         OptionSpec{"-f", "--format", true}, OptionSpec{"-s", "--segments", false},
         OptionSpec{nullptr, "--min-segment", true}, OptionSpec{nullptr, "--cues", false},
         OptionSpec{nullptr, "--fps", true}, OptionSpec{nullptr, "--keyframes", false},
         VOCETTA_MOUTH_OPTIONS, VOCETTA_LABEL_OPTIONS});
    if (options.Has("--help")) {
        std::printf("%s%s%s%s", kHelp, kLabelHelp, kMouthHelp, kCommonHelp);
        return kExitOk;
    }
    const std::vector<std::string>& inputs = options.Positional();
    if (inputs.empty()) throw UsageError("no recording given");
    const std::string output = options.Text("--output", "-");
    const bool cues = options.Has("--cues");
    const bool segments = options.Has("--segments");
    if (cues && segments) throw UsageError("--cues and --segments exclude each other");
    const Format format = cues ? Format::Csv : ChooseFormat(options, output);
    const CueFormat cueFormat = cues ? ChooseCueFormat(options, output) : CueFormat::Tsv;
    const LabelSettings labelling = LabelSettingsFromOptions(options);
    const double minSegment = options.Number("--min-segment", 0.0, 0.0, 60000.0) / 1000.0;
    // Options checked once; the mouth rests below each recording's own silence gate.
    const MouthOptions mouth = MouthFromOptions(options, 0.01f);
    const CueLayout layout{options.Integer("--fps", 24, 1, 1000), options.Has("--keyframes")};
    if (layout.keyframes && !cues) throw UsageError("--keyframes needs --cues");
    if (cues && layout.keyframes && cueFormat != CueFormat::Tsv && cueFormat != CueFormat::Json) {
        throw UsageError("--keyframes needs the tsv or json format");
    }
    const BatchSettings settings = BatchFromOptions(options, "vocetta analyze");

    // Where each input's result goes.
    std::vector<std::string> targets;
    const bool intoDirectory = inputs.size() > 1 || std::filesystem::is_directory(output);
    if (intoDirectory) {
        if (output == "-") {
            throw UsageError("several recordings need -o DIRECTORY (each gets its own file)");
        }
        std::error_code error;
        std::filesystem::create_directories(output, error);
        if (error || !std::filesystem::is_directory(output)) {
            throw ToolError(output + ": cannot create the output directory" +
                            (error ? ": " + error.message() : ""));
        }
        for (const std::string& input : inputs) {
            const auto name = std::filesystem::path(input).stem().string() +
                              (cues ? CueFormatExtension(cueFormat) : FormatExtension(format));
            targets.push_back((std::filesystem::path(output) / name).string());
        }
        for (size_t i = 0; i < targets.size(); ++i) {
            for (size_t j = 0; j < i; ++j) {
                if (targets[i] == targets[j]) {
                    throw UsageError(inputs[j] + " and " + inputs[i] + " would both write " +
                                     targets[i]);
                }
            }
        }
    } else {
        targets.push_back(output);
    }

    const Profile profile = LoadProfileOrDefault(options.Text("--profile", ""));
    const Host::ShapeMap shapeMap =
        cues ? ShapeMapFor(profile, mouth.set, ProfileOrigin(options)) : Host::ShapeMap{};
    const Host::Library library = OpenLibrary(options);
    size_t failures = 0;
    RunBatch(
        library, profile, inputs, settings,
        [&](size_t index, const Recording& recording, const Analysis& analysis) {
            const FrameLabels labels = LabelFrames(profile, analysis, labelling);
            const std::string text =
                cues ? FormatCues(
                           BuildCueTrack(shapeMap, MouthFromOptions(options, labels.gateVolume),
                                         recording, analysis),
                           cueFormat, layout)
                : segments
                    ? FormatSegments(recording, MergeSegments(labels, analysis, minSegment), format)
                    : FormatFrames(profile, recording, analysis, labels, format);
            try {
                WriteOutput(targets[index], text);
            } catch (const ToolError& error) {
                std::fprintf(stderr, "vocetta analyze: %s\n", error.what());
                ++failures;
            }
        },
        [&](size_t, const std::string& message) {
            (void)message;
            ++failures;
        });
    return failures == 0 ? kExitOk : kExitFailure;
}

}  // namespace Vocetta::Tool
