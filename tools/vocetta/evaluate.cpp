// vocetta evaluate: frame accuracy and confusion matrix of a profile on labelled recordings.
#include <cstdio>

#include "command.hpp"
#include "common.hpp"
#include "error.hpp"
#include "manifest.hpp"
#include "output.hpp"

namespace Vocetta::Tool {
namespace {

constexpr const char* kSummary =
    "Frame accuracy (overall and per phoneme) and the confusion matrix of a profile on labelled\n"
    "recordings. MANIFEST is a CSV file with the columns 'file' and 'phoneme'; each file holds\n"
    "one sustained phoneme, so every frame of it carries that label. Optional 'start' and 'end'\n"
    "columns (seconds) label a stretch instead: only frames centred inside it count. Frames\n"
    "are labelled as 'vocetta analyze' labels them.";

struct EvaluateOptions {
    CommonOptions common;
    std::vector<std::string> manifests;
    bool json = false;
    LabelArguments labels;
};

void AddOptions(CommandLine& line, EvaluateOptions& options) {
    line.Positional("MANIFEST", options.manifests, "the labelled recordings");
    line.Flag("--json", options.json, "print the result as one JSON object");
    AddLabelOptions(line, options.labels);
    AddCommonOptions(line, options.common);
    AddCleaningOption(line, options.common);
}

// The frames of each true phoneme (rows) by the phoneme recognised (columns).
struct Confusion {
    std::vector<std::string> labels;
    std::vector<size_t> counts;  // [truth][predicted]
    std::vector<size_t> rowFrames;
    size_t frames = 0, correct = 0;

    size_t At(size_t truth, size_t predicted) const {
        return counts[truth * labels.size() + predicted];
    }
};

double Ratio(size_t a, size_t b) {
    return b == 0 ? 0.0 : double(a) / double(b);
}

std::string JsonReport(const Confusion& confusion) {
    const size_t n = confusion.labels.size();
    Json perPhoneme = Json::object();
    for (size_t t = 0; t < n; ++t) {
        if (confusion.rowFrames[t] == 0) continue;
        perPhoneme[confusion.labels[t]] = {
            {"accuracy", Ratio(confusion.At(t, t), confusion.rowFrames[t])},
            {"frames", confusion.rowFrames[t]}};
    }
    Json matrix = Json::array();
    for (size_t t = 0; t < n; ++t) {
        matrix.push_back(std::vector<size_t>(confusion.counts.begin() + long(t * n),
                                             confusion.counts.begin() + long((t + 1) * n)));
    }
    const Json report = {{"accuracy", Ratio(confusion.correct, confusion.frames)},
                         {"frames", confusion.frames},
                         {"correct", confusion.correct},
                         {"per_phoneme", perPhoneme},
                         {"labels", confusion.labels},
                         {"confusion", matrix}};
    return JsonText(report) + "\n";
}

std::string TextReport(const Confusion& confusion) {
    const size_t n = confusion.labels.size();
    std::string out;
    char line[256];
    std::snprintf(line, sizeof line, "frame accuracy: %.2f %% (%zu of %zu frames)\n\n",
                  100.0 * Ratio(confusion.correct, confusion.frames), confusion.correct,
                  confusion.frames);
    out += line;
    out += "per phoneme:\n";
    for (size_t t = 0; t < n; ++t) {
        if (confusion.rowFrames[t] == 0) continue;
        std::snprintf(
            line, sizeof line, "  %-8s %6.2f %%  (%zu frames)\n", confusion.labels[t].c_str(),
            100.0 * Ratio(confusion.At(t, t), confusion.rowFrames[t]), confusion.rowFrames[t]);
        out += line;
    }
    out += "\nconfusion (rows: true phoneme, columns: recognised):\n  ";
    std::snprintf(line, sizeof line, "%-8s", "");
    out += line;
    for (const std::string& label : confusion.labels) {
        std::snprintf(line, sizeof line, "%8s", label.c_str());
        out += line;
    }
    out += "\n";
    for (size_t t = 0; t < n; ++t) {
        if (confusion.rowFrames[t] == 0) continue;
        std::snprintf(line, sizeof line, "  %-8s", confusion.labels[t].c_str());
        out += line;
        for (size_t p = 0; p < n; ++p) {
            std::snprintf(line, sizeof line, "%8zu", confusion.At(t, p));
            out += line;
        }
        out += "\n";
    }
    return out;
}

}  // namespace

int RunEvaluate(const Arguments& arguments) {
    EvaluateOptions options;
    CommandLine line("evaluate", kSummary);
    AddOptions(line, options);
    if (!line.Parse(arguments)) return kExitOk;
    if (options.manifests.size() != 1) throw UsageError("name one manifest");
    const LabelSettings labelling = LabelSettingsFrom(options.labels);
    const BatchSettings settings = BatchFromOptions(options.common, "vocetta evaluate");
    const Profile profile = LoadProfileOrDefault(options.common.profile);
    const std::string& manifestPath = options.manifests[0];
    const std::vector<LabelledFile> files = LoadManifest(manifestPath);

    // Labels: the profile's phonemes, and silence when the profile has no phoneme of that name.
    std::vector<std::string> labels;
    for (const Phoneme& phoneme : profile.phonemes)
        labels.push_back(phoneme.name);
    if (profile.IndexOf(kSilenceLabel) < 0) labels.push_back(kSilenceLabel);
    auto labelIndex = [&](const std::string& name) -> size_t {
        for (size_t i = 0; i < labels.size(); ++i) {
            if (labels[i] == name) return i;
        }
        return labels.size();
    };
    for (const LabelledFile& file : files) {
        if (labelIndex(file.phoneme) == labels.size()) {
            throw ToolError(manifestPath + ":" + std::to_string(file.line) + ": phoneme '" +
                            file.phoneme + "' is not in the profile");
        }
    }

    const size_t n = labels.size();
    std::vector<size_t> confusion(n * n, 0);  // [truth][predicted]
    const RecordingRows recordings = GroupByRecording(files);
    const Host::Library library = OpenLibrary(options.common.library);
    size_t failures = 0;
    RunBatch(
        library, profile, recordings.paths, settings,
        [&](size_t index, const Recording&, const Analysis& analysis) {
            // Labelled once: the relative gate follows the level of the whole recording.
            const FrameLabels frameLabels = LabelFrames(profile, analysis, labelling);
            for (const size_t row : recordings.rows[index]) {
                const LabelledFile& file = files[row];
                const size_t truth = labelIndex(file.phoneme);
                for (size_t frame = 0; frame < analysis.FrameCount(); ++frame) {
                    const double time = analysis.frames[frame].time;
                    if (file.segment && !(time >= file.start && time < file.end)) continue;
                    ++confusion[truth * n + labelIndex(frameLabels.Name(frame))];
                }
            }
        },
        [&](size_t, const std::string&) { ++failures; });
    if (failures != 0) {
        throw ToolError(manifestPath + ": " + std::to_string(failures) +
                        " recording(s) could not be evaluated");
    }

    Confusion result{labels, confusion, std::vector<size_t>(n, 0)};
    for (size_t t = 0; t < n; ++t) {
        for (size_t p = 0; p < n; ++p)
            result.rowFrames[t] += confusion[t * n + p];
        result.frames += result.rowFrames[t];
        result.correct += confusion[t * n + t];
    }
    WriteOutput("-", options.json ? JsonReport(result) : TextReport(result), Existing::Replace);
    return kExitOk;
}

}  // namespace Vocetta::Tool
