// vocetta analyze: phoneme timelines of recordings.
#include <cstdio>
#include <filesystem>

#include "command.hpp"
#include "common.hpp"
#include "error.hpp"
#include "output.hpp"
#include "timeline.hpp"

namespace Vocetta::Tool {
namespace {

constexpr const char* kSummary =
    "Runs the lip-sync job over each recording (WAV, FLAC, Ogg/Vorbis, AIFF, ...; several\n"
    "channels are mixed to mono) and writes one row per frame: time (centre of the block, s),\n"
    "phoneme, volume (RMS) and every phoneme's score. With --segments, frames are merged into\n"
    "timed segments (start, end, phoneme) for animation.";

struct AnalyzeOptions {
    CommonOptions common;
    std::vector<std::string> inputs;
    std::string output = "-";
    std::string format;  // empty: from the output's extension
    bool segments = false;
    double silenceDb = kDefaultSilenceDb;
    double minSegmentMs = 0;
};

void AddOptions(CommandLine& line, AnalyzeOptions& options) {
    line.Positional("AUDIO", options.inputs, "recordings to analyse");
    line.Text("-o,--output", options.output, "PATH",
              "output file, '-' (the default) for standard output; a directory for several inputs");
    line.Text("-f,--format", options.format, "FMT",
              "csv, tsv or json (default: from the output's extension, else csv)");
    line.Flag("-s,--segments", options.segments, "write segments instead of frames");
    line.Number("--silence", options.silenceDb, -200.0, 0.0, "DB",
                "frames quieter than this RMS level in dBFS are 'sil' (default -40)");
    line.Number("--min-segment", options.minSegmentMs, 0.0, 60000.0, "MS",
                "segments shorter than this join a neighbour (default 0)");
    AddCommonOptions(line, options.common);
}

Format ChooseFormat(const AnalyzeOptions& options) {
    if (!options.format.empty()) return ParseFormat(options.format);
    const std::string extension = std::filesystem::path(options.output).extension().string();
    if (extension == ".tsv") return Format::Tsv;
    if (extension == ".json") return Format::Json;
    return Format::Csv;
}

}  // namespace

int RunAnalyze(const Arguments& arguments) {
    AnalyzeOptions options;
    CommandLine line("analyze", kSummary);
    AddOptions(line, options);
    if (!line.Parse(arguments)) return kExitOk;
    const std::vector<std::string>& inputs = options.inputs;
    if (inputs.empty()) throw UsageError("no recording given");
    const std::string& output = options.output;
    const Format format = ChooseFormat(options);
    const float silence = VolumeFromDb(options.silenceDb);
    const double minSegment = options.minSegmentMs / 1000.0;
    const bool segments = options.segments;
    const BatchSettings settings = BatchFromOptions(options.common, "vocetta analyze");

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
            const auto name =
                std::filesystem::path(input).stem().string() + FormatExtension(format);
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

    const Profile profile = LoadProfileOrDefault(options.common.profile);
    const Host::Library library = OpenLibrary(options.common.library);
    size_t failures = 0;
    RunBatch(
        library, profile, inputs, settings,
        [&](size_t index, const Recording& recording, const Analysis& analysis) {
            const std::string text =
                segments
                    ? FormatSegments(recording,
                                     MergeSegments(profile, analysis, silence, minSegment), format)
                    : FormatFrames(profile, recording, analysis, silence, format);
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
