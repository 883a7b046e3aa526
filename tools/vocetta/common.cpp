#include "common.hpp"

#include <cstdio>

#include "error.hpp"
#include "mouth.hpp"
#include "output.hpp"
#include "transcript.hpp"

namespace Vocetta::Tool {

void AddCommonOptions(CommandLine& line, CommonOptions& options, bool withProfile) {
    if (withProfile) {
        line.Text("-p,--profile", options.profile, "FILE",
                  "profile to use (default: the built-in vowel profile)");
    }
    line.Number("--hop", options.hopMs, 0.01, 10000.0, "MS",
                "time between analysed frames in milliseconds (default 10)");
    line.Integer("-j,--jobs", options.jobs, 1, 256, "N",
                 "threads to use (default: one per processor)");
    line.Flag("-q,--quiet", options.quiet, "no progress bar");
    line.Text("--progress", options.progress, "KIND",
              "bar (the default, on a terminal) or json: one JSON object per line on stderr "
              "(file, seconds_done, seconds_total, file_index, files), for programs that wrap "
              "the tool");
    AddLibraryOption(line, options.library);
}

void AddCleaningOption(CommandLine& line, CommonOptions& options) {
    options.cleansNoise = true;
    line.Flag("--keep-noise", options.keepNoise,
              "analyse the recording as it is; by default its steady background noise (hiss, hum, "
              "a room) is taken out first, and a stream's rows come about 32 ms later");
}

void AddForceOption(CommandLine& line, CommonOptions& options) {
    line.Flag("--force", options.force, "replace output files that already exist");
}

void AddLibraryOption(CommandLine& line, std::string& path) {
    line.Text("--library", path, "PATH", "libvocetta.so to load (default: beside the tool)");
}

void CheckOneRecordingToAFile(const CommonOptions& options, const std::vector<std::string>& inputs,
                              const std::string& output, const std::string& what) {
    if (inputs.size() != 1) throw UsageError("name one recording");
    if (output.empty() || output == "-") throw UsageError("name " + what);
    std::vector<std::string> read = inputs;
    if (!options.profile.empty()) read.push_back(options.profile);
    CheckOutput(output, read, options.existing());
}

Host::Library OpenLibrary(const std::string& path) {
    try {
        return Host::Library(path.empty() ? Host::Library::DefaultPath() : path);
    } catch (const Host::LibraryError& error) {
        // A copy of the tool away from its build or install folder needs telling where to look.
        throw ToolError(std::string(error.what()) +
                        "; the library is looked for by --library PATH, then $VOCETTA_LIBRARY, "
                        "then beside the tool, then in the lib folder beside the tool's folder (an "
                        "installed tool), then on the system's search path");
    }
}

BatchSettings BatchFromOptions(const CommonOptions& options, const char* label) {
    BatchSettings settings;
    settings.hopSeconds = options.hopMs / 1000.0;
    settings.threads = options.jobs;
    settings.progress = options.progress.empty()
                            ? (options.quiet ? ProgressMode::None : ProgressMode::Bar)
                            : ParseProgressMode(options.progress);
    settings.command = label;
    settings.cleanNoise = options.cleansNoise && !options.keepNoise;
    return settings;
}

void AddLabelOptions(CommandLine& line, LabelArguments& arguments) {
    line.Number("--gate", arguments.gateDb, -200.0, 0.0, "DB",
                "frames more than DB below the recording's level (its 95th-percentile frame "
                "volume) are 'sil' (default -30)");
    line.Number("--silence", arguments.silenceDb, -200.0, 0.0, "DB",
                "a fixed gate instead: frames quieter than DB dBFS are 'sil'");
    line.Flag("--no-smoothing", arguments.noSmoothing, "label every frame by its own best score");
    // The defaults' numbers come from the constants, so the help cannot drift from them.
    char cost[64];
    std::snprintf(cost, sizeof cost, "%g; a stream's labels without a lag %g",
                  static_cast<double>(kDefaultSwitchCost), static_cast<double>(kLagFreeSwitchCost));
    line.Number(
        "--switch-cost", arguments.switchCost, 0.0, 1.0e6, "C",
        std::string("log-score cost of a change of phoneme when smoothing (default ") + cost + ")");
}

void AnalyseForProfile(const CommonOptions& options, const char* label, const Profile& profile,
                       const std::vector<std::string>& paths,
                       const std::function<void(size_t, const Recording&, const Analysis&)>& done) {
    BatchSettings settings = BatchFromOptions(options, label);
    settings.scorePhonemes = false;
    const Host::Library library = OpenLibrary(options.library);
    size_t failures = 0;
    RunBatch(library, profile, paths, settings, done,
             [&](size_t, const std::string&) { ++failures; });
    if (failures != 0) {
        throw ToolError("no profile written: " + std::to_string(failures) +
                        " recording(s) could not be used");
    }
}

void AddTranscriptOptions(CommandLine& line, TranscriptArguments& arguments) {
    line.Text("--text", arguments.text, "WORDS",
              "what the recording says: its labels follow these words' phones in order "
              "(phonemised by espeak-ng)");
    line.Text("--text-file", arguments.textFile, "FILE", "the same, from a UTF-8 text file");
    line.Flag("--transcripts", arguments.beside,
              "each recording's words in the .txt file of the same name beside it");
    line.Text(
        "--script", arguments.script, "FILE",
        "each recording's words from a dialogue table (CSV, or tab-separated: .tsv, .tab or a "
        "header of tabs) whose "
        "header names the columns file (the recording, with or without its extension) and "
        "text, and optionally language (an espeak-ng voice per line)");
    line.Text("--script-columns", arguments.scriptColumns, "COLUMNS",
              "FILE,TEXT: the table's columns of the recordings and of their words, by their "
              "header's names "
              "(default file,text; a localisation table's Key,German, say)");
    line.Flag("--literal-text", arguments.literal,
              "say the words as written: text in brackets, parentheses, braces or angle "
              "brackets (stage directions, markup), Ink or Yarn #tags and asterisks are left "
              "out by default");
    line.Flag("--speaker-names", arguments.speakerNames,
              "each line of the words begins with its speaker's name and a colon, as Yarn "
              "writes them ('Mae: Hi there.'): the name is left out, and a colon of the words "
              "is written \\:");
    line.Text("--ipa", arguments.ipa, "IPA",
              "what the recording says as IPA phones, instead of words (no espeak-ng needed)");
    line.Text("--language", arguments.language, "VOICE",
              "the espeak-ng voice whose language the words are in (default en-us)");
}

LabelSettings LabelSettingsFrom(const LabelArguments& arguments) {
    LabelSettings settings;
    if (!std::isnan(arguments.silenceDb)) settings.absoluteDb = arguments.silenceDb;
    settings.gateDb = arguments.gateDb;
    settings.smoothing = !arguments.noSmoothing;
    if (!std::isnan(arguments.switchCost))
        settings.switchCost = static_cast<float>(arguments.switchCost);
    return settings;
}

void AddMouthOptions(CommandLine& line, MouthArguments& arguments) {
    const auto fallback = [](double value) { return " (default " + FormatNumber(value) + ")"; };
    line.Text("--shapes", arguments.shapes, "SET",
              "cartoon (A-H and X, the default) or visemes (sil PP FF TH DD kk CH SS nn RR aa E "
              "ih oh ou)");
    line.Number(
        "--min-hold", arguments.minHoldMs, 0.0, 10000.0, "MS",
        "every cue but the last lasts at least this long" + fallback(Host::kDefaultMinHoldMs));
    line.Number("--closure", arguments.closureMs, 0.0, 10000.0, "MS",
                "a rest shorter than this between two other cues shows closed lips (A, PP); "
                "0 keeps every rest" +
                    fallback(Host::kDefaultClosureMs));
    line.Number("--attack", arguments.attackMs, 0.0, 10000.0, "MS",
                "time constant of a shape's rise (default 0: cues follow the frames)");
    line.Number("--release", arguments.releaseMs, 0.0, 10000.0, "MS",
                "time constant of a shape's fall (default 0)");
    line.Number("--sharpness", arguments.sharpness, 1.0, 100.0, "K",
                "exponent that lets the winning shape dominate, 1 = none" +
                    fallback(Host::kDefaultCueSharpness));
    line.Number("--closed-margin", arguments.closedMargin, 1.0, 1000.0, "R",
                "closed lips (A, PP) show only where they outweigh every other speaking shape "
                "R times, 1 = plain comparison" +
                    fallback(Host::kDefaultClosedMargin));
    line.Number("--lip-margin", arguments.lipMargin, 1.0, 1000.0, "R",
                "the same for the teeth on the lip (G, FF)" + fallback(Host::kDefaultLipMargin));
    line.Number("--open-priority", arguments.openPriority, 1.0, 100.0, "R",
                "a cue under the hold joins a neighbour counting open cues R times their "
                "length, so short vowels are not swallowed; 1 = all alike" +
                    fallback(Host::kDefaultOpenPriority));
    line.Number("--closed-dip", arguments.closedDipDb, 0.0, 200.0, "DB",
                "closed lips show only in frames DB under the loudest of the last --dip-window, "
                "0 = no such test" +
                    fallback(Host::kDefaultClosedDipDb));
    line.Number("--lip-dip", arguments.lipDipDb, 0.0, 200.0, "DB",
                "the same for the teeth on the lip" + fallback(Host::kDefaultLipDipDb));
    line.Number(
        "--dip-window", arguments.dipWindowMs, 0.0, 10000.0, "MS",
        "how far back the dips look for the loudest frame" + fallback(Host::kDefaultDipWindowMs));
}

}  // namespace Vocetta::Tool
