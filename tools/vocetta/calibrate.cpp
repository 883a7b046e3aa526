// vocetta calibrate: a profile from labelled recordings.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>

#include "clustering.hpp"
#include "command.hpp"
#include "common.hpp"
#include "error.hpp"
#include "manifest.hpp"
#include "output.hpp"
#include "refine.hpp"

namespace Vocetta::Tool {
namespace {

constexpr const char* kSummary =
    "Builds a profile from labelled recordings. Each MANIFEST is a CSV file with the columns\n"
    "'file' and 'phoneme' (one sustained phoneme per file; several files per phoneme), and\n"
    "optionally 'start' and 'end' in seconds to label a stretch of a longer recording. Every\n"
    "frame's MFCCs come from the lip-sync job itself; the profile holds the mean and standard\n"
    "deviation of each coefficient over all kept frames, and each phoneme's mean vector.";
constexpr const char* kDetails =
    "The silence phoneme keeps all its frames whatever --min-volume says; --trim leaves out the\n"
    "frames where sustained sounds begin and fade.";

constexpr double kDefaultMinVolumeDb = -30.0;
constexpr int kMaxReferences = 64;
// Chosen on validation voices disjoint from the calibration voices: scores 6 times sharper than
// raw standard deviations give, then 8 passes of refinement.
constexpr double kDefaultContrast = 6.0;
constexpr int kDefaultRefinement = 8;

// Analysis parameters left at 0 (or empty) come from the base profile.
struct CalibrateOptions {
    CommonOptions common;
    std::vector<std::string> manifests;
    std::string output, base, scoreMethod, phonemes;
    int targetRate = 0, melChannels = 0, coefficients = 0, block = 0;
    double minVolumeDb = kDefaultMinVolumeDb;
    std::string silencePhoneme = kSilenceLabel;
    double trimMs = 0;
    std::string references = "auto";
    std::string folding = "Sum";
    std::string frames;  // where to write the kept frames, empty for nowhere
    double contrast = kDefaultContrast;
    int refine = kDefaultRefinement;
};

void AddOptions(CommandLine& line, CalibrateOptions& options) {
    line.Positional("MANIFEST", options.manifests, "the labelled recordings");
    line.Text("-o,--output", options.output, "FILE", "the profile to write (required)");
    line.Text("--base", options.base, "PROFILE",
              "parameters and colours to start from (default: built-in profile's)");
    line.Integer("--target-rate", options.targetRate, 1, 1 << 30, "HZ", "analysis sample rate");
    line.Integer("--mel-channels", options.melChannels, 1, 1 << 20, "N",
                 "mel filter-bank channels");
    line.Integer("--coefficients", options.coefficients, 1, 1 << 20, "M",
                 "MFCCs per frame (below the mel channel count)");
    line.Integer("--block", options.block, 1, 1 << 30, "N",
                 "block length at the analysis rate (a power of two)");
    line.Text("--score-method", options.scoreMethod, "M",
              "MeanAbsoluteDistance, RootMeanSquareDistance, CosineSimilarity");
    line.Text("--phonemes", options.phonemes, "A,B,...",
              "phoneme order in the profile (default: order of appearance)");
    line.Number("--min-volume", options.minVolumeDb, -200.0, 0.0, "DB",
                "leave out frames quieter than this in dBFS, except silence's (default -30)");
    line.Text("--silence-phoneme", options.silencePhoneme, "N",
              "the phoneme that stands for silence (default sil)");
    line.Number("--trim", options.trimMs, 0.0, 60000.0, "MS",
                "leave out frames within MS of a file's start or end (default 0)");
    line.Text("--references", options.references, "K",
              "references per phoneme, its frames in K clusters, or 'auto' (the default: one per "
              "1000 frames, 1 ... 4)");
    line.Text("--folding", options.folding, "F",
              "Sum or Maximum: how the references' scores become the phoneme's (default Sum)");
    line.Number("--contrast", options.contrast, 0.01, 1000.0, "C",
                "divide the standard deviations by C, so that scores part the phonemes more "
                "sharply (default 6; 1 keeps the plain statistics)");
    line.Integer("--refine", options.refine, 0, 1000, "N",
                 "passes of discriminative refinement of the references and scales, which moves "
                 "them so that each frame's own phoneme scores highest (default 8; 0 keeps the "
                 "cluster means)");
    line.Text("--frames", options.frames, "FILE",
              "also write every kept frame (file, time, phoneme, volume, MFCCs) as CSV, for "
              "studying or training on the features");
    AddCommonOptions(line, options.common, false);
    AddForceOption(line, options.common);
}

struct Sums {
    size_t frames = 0;
    std::vector<float> kept;  // the kept frames' MFCCs, one vector after the other
    std::vector<std::string> files;
};

// 0 for automatic, else 1 ... kMaxReferences.
size_t ReferenceCount(const std::string& text) {
    if (text == "auto") return 0;
    int count = 0;
    const auto parsed = std::from_chars(text.data(), text.data() + text.size(), count);
    if (parsed.ec != std::errc() || parsed.ptr != text.data() + text.size() || count < 1 ||
        count > kMaxReferences) {
        throw UsageError("--references: '" + text +
                         "' is neither 'auto' nor a whole number in 1 ... " +
                         std::to_string(kMaxReferences));
    }
    return static_cast<size_t>(count);
}

std::vector<std::string> SplitList(const std::string& text) {
    std::vector<std::string> items;
    std::stringstream stream(text);
    for (std::string item; std::getline(stream, item, ',');) {
        if (!item.empty()) items.push_back(item);
    }
    return items;
}

// Distinct colours for phonemes the base profile does not know.
constexpr std::array<std::array<float, 3>, 8> kPalette = {{{0.9f, 0.2f, 0.2f},
                                                           {0.2f, 0.7f, 0.2f},
                                                           {0.2f, 0.4f, 0.9f},
                                                           {0.9f, 0.8f, 0.1f},
                                                           {0.7f, 0.3f, 0.8f},
                                                           {0.1f, 0.8f, 0.8f},
                                                           {0.9f, 0.5f, 0.1f},
                                                           {0.5f, 0.5f, 0.5f}}};

// The base profile with the analysis parameters the options change; they alone must already make
// a usable job (the statistics come later).
Profile ParametersFrom(const CalibrateOptions& options) {
    Profile profile = LoadProfileOrDefault(options.base);
    // The base's speaker mean belongs to the voices it was calibrated on, not to these
    // (`vocetta adapt --anchor` gives the new profile its own).
    profile.speakerMeans.clear();
    auto override = [](int& parameter, int value) {
        if (value != 0) parameter = value;
    };
    override(profile.targetSampleRate, options.targetRate);
    override(profile.melChannels, options.melChannels);
    override(profile.coefficients, options.coefficients);
    override(profile.blockLength, options.block);
    if (!options.scoreMethod.empty()) {
        profile.scoreMethod = ScoreMethodFromName(options.scoreMethod);
        if (profile.scoreMethod < 0) {
            throw UsageError("unknown score method '" + options.scoreMethod +
                             "' (MeanAbsoluteDistance, RootMeanSquareDistance, CosineSimilarity)");
        }
    }
    Profile check = profile;
    const auto m = static_cast<size_t>(std::max(check.coefficients, 0));
    check.means.assign(m, 0.0f);
    check.standardDeviations.assign(m, 1.0f);
    check.phonemes = {{"x", {0, 0, 0}, {std::vector<float>(m, 0.0f)}, {}}};
    try {
        ValidateProfile(check, "calibration parameters");
    } catch (const Host::ProfileError& error) {
        throw UsageError(error.what());
    }
    return profile;
}

Host::Folding FoldingFrom(const std::string& name) {
    if (name == "Sum") return Host::Folding::Sum;
    if (name == "Maximum") return Host::Folding::Maximum;
    throw UsageError("--folding: unknown folding '" + name + "' (Sum or Maximum)");
}

// --phonemes, every label of the manifests among them; else the labels in order of appearance.
std::vector<std::string> PhonemeOrder(const std::string& listed,
                                      const std::vector<LabelledFile>& files) {
    std::vector<std::string> order;
    if (!listed.empty()) {
        order = SplitList(listed);
        for (const LabelledFile& file : files) {
            if (std::find(order.begin(), order.end(), file.phoneme) == order.end()) {
                throw UsageError("the manifest labels " + file.path + " as '" + file.phoneme +
                                 "', which --phonemes does not list");
            }
        }
    } else {
        for (const LabelledFile& file : files) {
            if (std::find(order.begin(), order.end(), file.phoneme) == order.end()) {
                order.push_back(file.phoneme);
            }
        }
    }
    return order;
}

// The kept frames: each phoneme's, and over all of them Welford's running mean and sum of squared
// deviations (no cancellation when the spread is small beside the mean).
struct Collection {
    std::map<std::string, Sums> sums;
    std::vector<double> runningMean, deviations;
    size_t totalFrames = 0;
    std::vector<std::string> frameRows;  // per file, for --frames
};

// Keeps the frames of one manifest row that are loud enough (silence exempt) and finite: those
// whose whole block lies inside its labelled stretch, or for a whole file, inside the trim.
void KeepFrames(const CalibrateOptions& options, const LabelledFile& file, size_t m,
                const Analysis& analysis, Collection& into, std::string& rows) {
    const float minVolume = VolumeFromDb(options.minVolumeDb);
    const double trim = options.trimMs / 1000.0;
    const std::string& phoneme = file.phoneme;
    const bool isSilence = phoneme == options.silencePhoneme;
    Sums& target = into.sums[phoneme];
    const double halfBlock = 0.5 * analysis.ringLength / analysis.sampleRate;
    const double from = file.segment ? file.start : trim;
    const double to = file.segment ? file.end : analysis.seconds - trim;
    for (size_t frame = 0; frame < analysis.FrameCount(); ++frame) {
        const FrameResult& result = analysis.frames[frame];
        if (result.time - halfBlock < from || result.time + halfBlock > to) continue;
        if (!isSilence && !(result.volume >= minVolume)) continue;
        const float* mfcc = analysis.Mfcc(frame);
        bool finite = true;
        for (size_t i = 0; i < m; ++i)
            finite = finite && std::isfinite(mfcc[i]);
        if (!finite) continue;
        target.kept.insert(target.kept.end(), mfcc, mfcc + m);
        ++target.frames;
        ++into.totalFrames;
        for (size_t i = 0; i < m; ++i) {
            const double delta = mfcc[i] - into.runningMean[i];
            into.runningMean[i] += delta / double(into.totalFrames);
            into.deviations[i] += delta * (mfcc[i] - into.runningMean[i]);
        }
        if (!options.frames.empty()) {
            rows += CsvField(file.path, ',') + ',' + FormatNumber(result.time, 9) + ',' +
                    CsvField(phoneme, ',') + ',' + FormatNumber(result.volume, 9);
            for (size_t i = 0; i < m; ++i)
                rows += ',' + FormatNumber(mfcc[i], 9);
            rows += '\n';
        }
    }
}

void CheckEveryPhonemeHasFrames(const std::vector<std::string>& order, Collection& collection) {
    for (const std::string& name : order) {
        const Sums& phoneme = collection.sums[name];
        if (phoneme.frames == 0) {
            std::string list;
            for (const std::string& file : phoneme.files)
                list += (list.empty() ? "" : ", ") + file;
            throw ToolError("phoneme '" + name + "': no usable frames in " + list +
                            " (too short, too quiet for --min-volume, or silent)");
        }
    }
}

// The means and the standard deviations, divided by the contrast.
void SetStatistics(Profile& profile, const Collection& collection, double contrast) {
    const auto m = static_cast<size_t>(profile.coefficients);
    profile.means.assign(m, 0.0f);
    profile.standardDeviations.assign(m, 0.0f);
    for (size_t i = 0; i < m; ++i) {
        const double mean = collection.runningMean[i];
        const double variance = collection.deviations[i] / double(collection.totalFrames);
        profile.means[i] = static_cast<float>(mean);
        profile.standardDeviations[i] = static_cast<float>(std::sqrt(variance) / contrast);
        if (!(profile.standardDeviations[i] > 0)) {
            throw ToolError("coefficient " + std::to_string(i + 1) +
                            " does not vary across the recordings (standard deviation 0); "
                            "the phonemes cannot be told apart");
        }
    }
}

// Each phoneme's references (k-means over its frames), with the base profile's colour and shapes
// when it knows the phoneme.
void SetPhonemes(Profile& profile, const std::vector<std::string>& order, Collection& collection,
                 size_t references) {
    const auto m = static_cast<size_t>(profile.coefficients);
    const Profile base = profile;
    profile.phonemes.clear();
    for (size_t p = 0; p < order.size(); ++p) {
        Phoneme phoneme;
        phoneme.name = order[p];
        const int known = base.IndexOf(order[p]);
        phoneme.color = known >= 0 ? base.phonemes[static_cast<size_t>(known)].color
                                   : kPalette[p % kPalette.size()];
        if (known >= 0) phoneme.shapes = base.phonemes[static_cast<size_t>(known)].shapes;
        const Sums& phonemeSums = collection.sums[order[p]];
        phoneme.references = ClusterMeans(
            phonemeSums.kept, m, profile.standardDeviations,
            references == 0 ? AutomaticReferenceCount(phonemeSums.frames) : references);
        profile.phonemes.push_back(std::move(phoneme));
    }
}

void Refine(Profile& profile, const std::vector<std::string>& order, Collection& collection,
            int epochs) {
    std::vector<float> kept;
    std::vector<int> owners;
    for (size_t p = 0; p < order.size(); ++p) {
        const Sums& phonemeSums = collection.sums[order[p]];
        kept.insert(kept.end(), phonemeSums.kept.begin(), phonemeSums.kept.end());
        owners.insert(owners.end(), phonemeSums.frames, static_cast<int>(p));
    }
    RefineSettings refine;
    refine.epochs = epochs;
    RefineProfile(profile, kept, owners, refine);
}

std::string FramesCsv(size_t m, const std::vector<std::string>& frameRows) {
    std::string text = "file,time,phoneme,volume";
    for (size_t i = 0; i < m; ++i)
        text += ",mfcc" + std::to_string(i + 1);
    text += '\n';
    for (const std::string& rows : frameRows)
        text += rows;
    return text;
}

}  // namespace

int RunCalibrate(const Arguments& arguments) {
    CalibrateOptions options;
    CommandLine line("calibrate", kSummary, kDetails);
    AddOptions(line, options);
    if (!line.Parse(arguments)) return kExitOk;
    if (options.manifests.empty()) throw UsageError("no manifest given");
    const std::string* output = &options.output;
    if (output->empty() || *output == "-") {
        throw UsageError("name the profile to write with -o FILE");
    }
    Profile profile = ParametersFrom(options);
    const size_t references = ReferenceCount(options.references);
    profile.folding = FoldingFrom(options.folding);

    std::vector<LabelledFile> files;
    for (const std::string& manifest : options.manifests) {
        const auto listed = LoadManifest(manifest);
        files.insert(files.end(), listed.begin(), listed.end());
    }
    {
        std::vector<std::string> read = options.manifests;
        if (!options.base.empty()) read.push_back(options.base);
        for (const LabelledFile& file : files)
            read.push_back(file.path);
        CheckOutput(*output, read, options.common.existing());
        // The frames are written first: under the profile's name they would be lost to it.
        if (!options.frames.empty()) {
            std::error_code error;
            if (std::filesystem::weakly_canonical(options.frames, error) ==
                std::filesystem::weakly_canonical(*output, error)) {
                throw UsageError("--frames " + options.frames +
                                 ": is the profile's file too; name another");
            }
            CheckOutput(options.frames, read, options.common.existing());
        }
    }
    const std::vector<std::string> order = PhonemeOrder(options.phonemes, files);

    const auto m = static_cast<size_t>(profile.coefficients);
    Collection collection;
    for (const LabelledFile& file : files) {
        std::vector<std::string>& named = collection.sums[file.phoneme].files;
        if (std::find(named.begin(), named.end(), file.path) == named.end()) {
            named.push_back(file.path);
        }
    }
    collection.runningMean.assign(m, 0.0);
    collection.deviations.assign(m, 0.0);
    collection.frameRows.resize(files.size());
    const RecordingRows recordings = GroupByRecording(files);
    AnalyseForProfile(options.common, "vocetta calibrate", profile, recordings.paths,
                      [&](size_t index, const Recording&, const Analysis& analysis) {
                          for (const size_t row : recordings.rows[index])
                              KeepFrames(options, files[row], m, analysis, collection,
                                         collection.frameRows[row]);
                      });

    CheckEveryPhonemeHasFrames(order, collection);
    SetStatistics(profile, collection, options.contrast);
    SetPhonemes(profile, order, collection, references);
    if (options.refine > 0) Refine(profile, order, collection, options.refine);
    ValidateProfile(profile, *output);
    if (!options.frames.empty())
        WriteOutput(options.frames, FramesCsv(m, collection.frameRows), options.common.existing());
    WriteOutput(*output, SerializeProfile(profile), options.common.existing());
    if (!options.common.quiet) {
        std::fprintf(stderr, "vocetta calibrate: %s: %zu phonemes from %zu frames of %zu files\n",
                     output->c_str(), order.size(), collection.totalFrames,
                     recordings.paths.size());
    }
    return kExitOk;
}

}  // namespace Vocetta::Tool
