// vocetta analyze: phoneme timelines of recordings.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>

#include "command.hpp"
#include "common.hpp"
#include "error.hpp"
#include "mouth.hpp"
#include "output.hpp"
#include "timeline.hpp"
#include "transcript.hpp"
#include "vocetta/rig.hpp"
#include "vocetta/transcript.hpp"

namespace Vocetta::Tool {
namespace {

constexpr const char* kSummary =
    "Runs the lip-sync job over each recording (WAV, FLAC, Ogg/Vorbis, AIFF, ...; several\n"
    "channels are mixed to mono) and writes one row per frame: time (centre of the block, s),\n"
    "phoneme, volume (RMS) and every phoneme's score. With --segments, frames are merged into\n"
    "timed segments (start, end, phoneme) for animation. With --cues, writes mouth cues:\n"
    "contiguous spans from 0 to the end of the recording, each showing one mouth shape. With\n"
    "--curves, writes every shape's weight and the jaw's opening on each animation frame, for\n"
    "rigs that blend a blendshape per shape. With --text (or --text-file, --transcripts,\n"
    "--script, --ipa), the labels, cues and curves follow the phones of what the recording\n"
    "says, in order.";

struct AnalyzeOptions {
    CommonOptions common;
    MouthArguments mouth;
    std::vector<std::string> inputs;
    std::string output = "-";
    std::string format;  // empty: from the output's extension
    bool segments = false;
    bool phones = false;
    bool words = false;
    LabelArguments labels;
    TranscriptArguments transcript;
    double lagMs = kDefaultStreamLagMs;
    double levelWindowSeconds = kDefaultLevelWindowSeconds;
    double minSegmentMs = 0;
    bool cues = false;
    int fps = 24;
    bool keyframes = false;
    bool curves = false;
    std::string rig;
    std::string raw;
};

void AddOptions(CommandLine& line, AnalyzeOptions& options) {
    line.Positional("AUDIO", options.inputs, "recordings to analyse; '-' for standard input");
    line.Text("--raw", options.raw, "RATE[:CH[:FMT]]",
              "headerless samples: rate, channels (1) and s8, u8, s16 (the default), s24, s32, "
              "f32 or f64, little-endian");
    line.Text("-o,--output", options.output, "PATH",
              "output file, '-' (the default) for standard output; a directory for several inputs");
    line.Text("-f,--format", options.format, "FMT",
              "csv, tsv or json (default: from the output's extension, else csv); with --cues "
              "tsv, json, xml or dat (default: extension, else tsv); with --curves csv or json "
              "(default: extension, else csv)");
    line.Flag("-s,--segments", options.segments, "write segments instead of frames");
    line.Number("--min-segment", options.minSegmentMs, 0.0, 60000.0, "MS",
                "segments shorter than this join a neighbour (default 0)");
    line.Flag(
        "--phones", options.phones,
        "write the transcript's phones where they are said (start, end, phone, word, written) "
        "instead of frames; needs --text, --text-file, --transcripts, --script or --ipa");
    line.Flag("--words", options.words,
              "write the transcript's words where they are said (start, end, word, written, ipa) "
              "instead of frames; needs --text, --text-file, --transcripts, --script or --ipa");
    line.Flag("--cues", options.cues, "write mouth cues instead of frames");
    line.Integer("--fps", options.fps, 1, 1000, "N",
                 "animation frame rate of dat files, keyframes and curves (default 24)");
    line.Flag("--keyframes", options.keyframes,
              "tsv and json cues: the shape of every animation frame as well");
    line.Flag("--curves", options.curves,
              "write each shape's weight and the jaw on every animation frame (at --fps) "
              "instead of frames; --attack and --release default to 20 and 50");
    line.Text("--rig", options.rig, "RIG",
              "with --curves: a face rig's own blendshapes instead, each a mix of the shapes' "
              "weights and the jaw: arkit (jawOpen, mouthFunnel, mouthPucker, ...), vrm (aa ih "
              "ou ee oh), or a rig file (json, as the built-in ones in share/vocetta/rigs)");
    AddLabelOptions(line, options.labels);
    AddTranscriptOptions(line, options.transcript);
    char lag[32];
    std::snprintf(lag, sizeof lag, "%g", kDefaultStreamLagMs);
    line.Number(
        "--lag", options.lagMs, 0.0, 10000.0, "MS",
        std::string("rows that follow a stream: each smoothed label waits MS for the frames "
                    "after it (default ") +
            lag + "; 0: none)");
    char window[32];
    std::snprintf(window, sizeof window, "%g", kDefaultLevelWindowSeconds);
    line.Number("--level-window", options.levelWindowSeconds, 0.1, 3600.0, "S",
                std::string("rows that follow a stream: its level is that of the last S seconds "
                            "of sound (default ") +
                    window + ")");
    AddMouthOptions(line, options.mouth);
    AddCommonOptions(line, options.common);
    AddCleaningOption(line, options.common);
    AddForceOption(line, options.common);
}

// -f for cues and curves, whose names the SDK knows.
template <typename Format>
Format ParseMouthFormat(Format (*parse)(const std::string&), const std::string& name) {
    try {
        return parse(name);
    } catch (const Host::CueError& error) {
        throw UsageError(error.what());
    }
}

CueFormat ChooseCueFormat(const AnalyzeOptions& options) {
    if (!options.format.empty()) return ParseMouthFormat(Host::ParseCueFormat, options.format);
    const std::string extension = std::filesystem::path(options.output).extension().string();
    for (CueFormat format : {CueFormat::Json, CueFormat::Xml, CueFormat::Dat}) {
        if (extension == CueFormatExtension(format)) return format;
    }
    return CueFormat::Tsv;
}

Host::CurveFormat ChooseCurveFormat(const AnalyzeOptions& options) {
    if (!options.format.empty()) return ParseMouthFormat(Host::ParseCurveFormat, options.format);
    const std::string extension = std::filesystem::path(options.output).extension().string();
    return extension == ".json" ? Host::CurveFormat::Json : Host::CurveFormat::Csv;
}

Format ChooseFormat(const AnalyzeOptions& options) {
    if (!options.format.empty()) return ParseFormat(options.format);
    const std::string extension = std::filesystem::path(options.output).extension().string();
    if (extension == ".tsv") return Format::Tsv;
    if (extension == ".json") return Format::Json;
    return Format::Csv;
}

// An output file's extension names what it holds: one that names another format than the one
// written, or none the tool writes, is a mistake caught before anything is written.
enum class Written { Frames, Cues, Curves };

// --rig: a built-in rig by its name, or a rig file.
Host::Rig RigNamed(const std::string& name) {
    try {
        return Host::FindRig(name);
    } catch (const Host::CueError& error) {
        // A name that is no rig is the command line's mistake; a file that is none, the file's.
        if (Host::NamesRigFile(name)) throw ToolError(error.what());
        throw UsageError(std::string("--rig: ") + error.what());
    }
}

void CheckExtension(const std::string& output, const std::string& written, Written what) {
    const std::string extension = std::filesystem::path(output).extension().string();
    if (output == "-" || extension.empty() || extension == written) return;
    const std::vector<std::string> known =
        what == Written::Cues     ? std::vector<std::string>{".tsv", ".json", ".xml", ".dat"}
        : what == Written::Curves ? std::vector<std::string>{".csv", ".json"}
                                  : std::vector<std::string>{".csv", ".tsv", ".json"};
    if (std::find(known.begin(), known.end(), extension) != known.end()) {
        throw UsageError(output + ": the extension says " + extension.substr(1) +
                         ", but the format written is " + written.substr(1));
    }
    throw UsageError(output + ": '" + extension + "' is not a format " +
                     (what == Written::Cues     ? "cues are written in (tsv, json, xml, dat)"
                      : what == Written::Curves ? "curves are written in (csv, json)"
                                                : "frames are written in (csv, tsv, json; cues: "
                                                  "--cues)"));
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
    const bool cues = options.cues;
    const bool segments = options.segments;
    const bool curves = options.curves;
    const bool words = options.words;
    if (options.phones && words) throw UsageError("--phones and --words exclude each other");
    const bool phones = options.phones || words;  // a word is its phones' span
    const char* timeline = words ? "--words" : "--phones";
    if (cues && segments) throw UsageError("--cues and --segments exclude each other");
    if (curves && (cues || segments)) {
        throw UsageError(std::string("--curves and ") + (cues ? "--cues" : "--segments") +
                         " exclude each other");
    }
    if (phones && (cues || segments || curves)) {
        throw UsageError(std::string(timeline) + " and " +
                         (cues       ? "--cues"
                          : segments ? "--segments"
                                     : "--curves") +
                         " exclude each other");
    }
    const Format format = cues || curves ? Format::Csv : ChooseFormat(options);
    const CueFormat cueFormat = cues ? ChooseCueFormat(options) : CueFormat::Tsv;
    const Host::CurveFormat curveFormat =
        curves ? ChooseCurveFormat(options) : Host::CurveFormat::Csv;
    const Written written = cues ? Written::Cues : curves ? Written::Curves : Written::Frames;
    const std::string extension = cues     ? CueFormatExtension(cueFormat)
                                  : curves ? Host::CurveFormatExtension(curveFormat)
                                           : FormatExtension(format);
    LabelSettings labelling = LabelSettingsFrom(options.labels);
    labelling.levelWindowSeconds = options.levelWindowSeconds;
    const double minSegment = options.minSegmentMs / 1000.0;
    // Curves feed a rig that blends them, which the frames' own steps would make twitch: they
    // take the SDK's smoothing unless told otherwise. Cues follow the frames.
    MouthArguments mouthArguments = options.mouth;
    const std::optional<Host::Rig> rig =
        options.rig.empty() ? std::nullopt : std::optional<Host::Rig>(RigNamed(options.rig));
    if (rig) {
        if (!curves) throw UsageError("--rig needs --curves");
        const char* set = Host::ShapeSetName(rig->set);
        if (line.app().get_option("--shapes")->count() != 0 && mouthArguments.shapes != set) {
            throw UsageError("--rig " + options.rig + " mixes the " + set + " set: --shapes " +
                             mouthArguments.shapes + " gives it nothing to mix");
        }
        mouthArguments.shapes = set;
    }
    if (curves) {
        const Host::MouthSettings smoothing;
        if (line.app().get_option("--attack")->count() == 0)
            mouthArguments.attackMs = smoothing.attackSeconds * 1000.0;
        if (line.app().get_option("--release")->count() == 0)
            mouthArguments.releaseMs = smoothing.releaseSeconds * 1000.0;
    }
    // Checked once here; each recording's mouth rests below its own gate (MouthSilenceVolume) and
    // wherever its labels say silence.
    const MouthOptions mouth = MouthFromOptions(mouthArguments, 0.01f);
    const CueLayout layout{options.fps, options.keyframes};
    if (layout.keyframes && !cues) throw UsageError("--keyframes needs --cues");
    if (cues && layout.keyframes && cueFormat != CueFormat::Tsv && cueFormat != CueFormat::Json) {
        throw UsageError("--keyframes needs the tsv or json format");
    }
    BatchSettings settings = BatchFromOptions(options.common, "vocetta analyze");
    if (!options.raw.empty()) settings.raw = ParseRawFormat(options.raw);
    const bool fromStandardInput = std::find(inputs.begin(), inputs.end(), "-") != inputs.end();
    if (fromStandardInput && inputs.size() > 1) {
        throw UsageError("standard input ('-') is analysed alone, in a run of its own");
    }

    // Read first, so that a bad profile or transcript leaves no output directory behind.
    const Profile profile = LoadProfileOrDefault(options.common.profile);
    const std::vector<std::optional<Transcript>> transcripts =
        TranscriptsFor(options.transcript, inputs, profile, labelling.smoothing, settings, phones);
    if (phones && !transcripts[0]) {
        throw UsageError(
            std::string(timeline) +
            " needs what the recording says: --text, --text-file, --transcripts, --script or "
            "--ipa");
    }

    // Where each input's result goes.
    std::vector<std::string> targets;
    const bool intoDirectory = inputs.size() > 1 || std::filesystem::is_directory(output);
    if (intoDirectory) {
        if (output == "-") {
            throw UsageError("several recordings need -o DIRECTORY (each gets its own file)");
        }
        for (const std::string& input : inputs) {
            const auto name = std::filesystem::path(input).stem().string() + extension;
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
        std::error_code error;
        std::filesystem::create_directories(output, error);
        if (error || !std::filesystem::is_directory(output)) {
            throw ToolError(output + ": cannot create the output directory" +
                            (error ? ": " + error.message() : ""));
        }
    } else {
        targets.push_back(output);
    }
    std::vector<std::string> read = inputs;  // standard input has no name to clash with
    if (!options.common.profile.empty()) read.push_back(options.common.profile);
    if (rig && Host::NamesRigFile(options.rig)) read.push_back(options.rig);
    for (const std::string& target : targets)
        CheckOutput(target, read, options.common.existing());
    if (!intoDirectory) CheckExtension(output, extension, written);

    const Host::ShapeMap shapeMap =
        cues || curves ? ShapeMapFor(profile, mouth.set, ProfileOrigin(options.common.profile))
                       : Host::ShapeMap{};
    const Host::Library library = OpenLibrary(options.common.library);
    size_t failures = 0;

    // Frame rows follow the stream when their labels need no later frame: from standard input
    // always (a gate relative to the level heard so far, or a fixed one, and the smoothed track
    // as it comes, StreamLabels), from files when unsmoothed against a fixed gate (the same
    // labels as at the end). Everything else needs the whole recording: its level, the smoothed
    // track, segments, cues and JSON.
    const bool follow = written == Written::Frames && !segments && format != Format::Json &&
                        !transcripts[0] &&
                        (fromStandardInput || (!labelling.smoothing && labelling.absoluteDb));
    const char separator = format == Format::Tsv ? '\t' : ',';
    std::unique_ptr<OutputFile> stream;
    std::optional<StreamLabels> streamLabels;
    if (follow) {
        settings.onFrame = [&](size_t index, const Recording&, const Analysis& analysis,
                               size_t frame) {
            if (frame == 0) {
                stream = std::make_unique<OutputFile>(targets[index], options.common.existing());
                stream->Write(FrameTableHeader(profile, analysis, separator));
                streamLabels.emplace(
                    profile, labelling, double(analysis.sampleRate) / analysis.hop,
                    StreamLagFrames(options.lagMs, analysis.hop, analysis.sampleRate));
            }
            // A row waits for its label, which waits for the frames of the lag.
            if (const std::string* label = streamLabels->Next(analysis, frame)) {
                stream->Write(
                    FrameTableRow(analysis, frame - streamLabels->Lag(), *label, separator));
                if (stream->Straight()) stream->Flush();
            }
        };
    }
    RunBatch(
        library, profile, inputs, settings,
        [&](size_t index, const Recording& recording, const Analysis& analysis) {
            if (follow) {
                try {
                    // The last rows, whose labels no later frame will settle.
                    if (stream) {
                        const std::vector<std::string> last = streamLabels->Finish();
                        for (size_t i = 0; i < last.size(); ++i) {
                            stream->Write(FrameTableRow(analysis,
                                                        analysis.FrameCount() - last.size() + i,
                                                        last[i], separator));
                        }
                    }
                    stream->Commit();
                } catch (const ToolError& error) {
                    std::fprintf(stderr, "vocetta analyze: %s\n", error.what());
                    ++failures;
                }
                stream.reset();
                return;
            }
            FrameLabels labels;
            try {
                labels = LabelFrames(profile, analysis, labelling,
                                     transcripts[index] ? &transcripts[index]->ipa : nullptr);
            } catch (const ToolError& error) {
                std::fprintf(stderr, "vocetta analyze: %s: %s\n", inputs[index].c_str(),
                             error.what());
                ++failures;
                return;
            }
            const auto mouthOf = [&] {
                return RecordingMouth(mouthArguments, labels, analysis, labelling);
            };
            std::vector<PhoneSegment> said;
            if (phones) {
                try {
                    said = PhoneSegments(labels, analysis);
                } catch (const ToolError& error) {
                    std::fprintf(stderr, "vocetta analyze: %s: %s\n", inputs[index].c_str(),
                                 error.what());
                    ++failures;
                    return;
                }
            }
            const std::string text =
                words    ? FormatWords(recording, Host::IpaWords(labels.transcript),
                                       transcripts[index]->written, said, format)
                : phones ? FormatPhones(recording, Host::IpaWords(labels.transcript),
                                        transcripts[index]->written, said, format)
                : cues ? FormatCues(BuildCueTrack(shapeMap, mouthOf(), recording, analysis, labels),
                                    cueFormat, layout)
                : curves && rig
                    ? Host::FormatRigCurves(BuildShapeCurves(shapeMap, mouthOf(), recording,
                                                             analysis, options.fps, labels),
                                            *rig, curveFormat)
                : curves ? Host::FormatCurves(BuildShapeCurves(shapeMap, mouthOf(), recording,
                                                               analysis, options.fps, labels),
                                              curveFormat)
                : segments
                    ? FormatSegments(recording, MergeSegments(labels, analysis, minSegment), format)
                    : FormatFrames(profile, recording, analysis, labels, format);
            try {
                WriteOutput(targets[index], text, options.common.existing());
            } catch (const ToolError& error) {
                std::fprintf(stderr, "vocetta analyze: %s\n", error.what());
                ++failures;
            }
        },
        [&](size_t, const std::string&) {
            stream.reset();  // a file that stops half way is not left looking complete
            ++failures;
        });
    return failures == 0 ? kExitOk : kExitFailure;
}

}  // namespace Vocetta::Tool
