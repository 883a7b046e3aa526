// vocetta calibrate: a profile from labelled recordings.
#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>

#include "clustering.hpp"
#include "command.hpp"
#include "common.hpp"
#include "error.hpp"
#include "manifest.hpp"
#include "output.hpp"

namespace Vocetta::Tool {
namespace {

constexpr const char* kHelp =
    "usage: vocetta calibrate [options] MANIFEST... -o PROFILE.json\n"
    "\n"
    "Builds a profile from labelled recordings. Each MANIFEST is a CSV file with the columns\n"
    "'file' and 'phoneme' (one sustained phoneme per file; several files per phoneme). Every\n"
    "frame's MFCCs come from the lip-sync job itself; the profile holds the mean and standard\n"
    "deviation of each coefficient over all kept frames, and each phoneme's mean vector.\n"
    "\n"
    "  -o, --output FILE       the profile to write (required)\n"
    "      --base PROFILE      analysis parameters and colours to start from\n"
    "                          (default: the built-in profile's)\n"
    "      --target-rate HZ    analysis sample rate\n"
    "      --mel-channels N    mel filter-bank channels\n"
    "      --coefficients M    MFCCs per frame (below the mel channel count)\n"
    "      --block N           block length at the analysis rate (a power of two)\n"
    "      --score-method M    MeanAbsoluteDistance, RootMeanSquareDistance, CosineSimilarity\n"
    "      --phonemes A,B,...  phoneme order in the profile (default: order of appearance)\n"
    "      --min-volume DB     leave out frames quieter than this, in dBFS (default -30);\n"
    "                          the silence phoneme keeps all its frames\n"
    "      --silence-phoneme N the phoneme that stands for silence (default sil)\n"
    "      --trim MS           leave out frames whose block reaches within MS of a file's start\n"
    "                          or end, where sustained sounds begin and fade (default 0)\n"
    "      --references K      references per phoneme: its frames in K clusters, or 'auto'\n"
    "                          (default: one per 1000 frames, 1 ... 4)\n"
    "      --folding F         Sum or Maximum: how the references' scores become the\n"
    "                          phoneme's (default Sum)\n";

constexpr double kDefaultMinVolumeDb = -30.0;
constexpr int kMaxReferences = 64;

struct Sums {
    size_t frames = 0;
    std::vector<float> kept;  // the kept frames' MFCCs, one vector after the other
    std::vector<std::string> files;
};

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

}  // namespace

int RunCalibrate(const Arguments& arguments) {
    const Options options(
        arguments,
        {VOCETTA_COMMON_OPTIONS, OptionSpec{"-o", "--output", true},
         OptionSpec{nullptr, "--base", true}, OptionSpec{nullptr, "--target-rate", true},
         OptionSpec{nullptr, "--mel-channels", true}, OptionSpec{nullptr, "--coefficients", true},
         OptionSpec{nullptr, "--block", true}, OptionSpec{nullptr, "--score-method", true},
         OptionSpec{nullptr, "--phonemes", true}, OptionSpec{nullptr, "--min-volume", true},
         OptionSpec{nullptr, "--silence-phoneme", true}, OptionSpec{nullptr, "--trim", true},
         OptionSpec{nullptr, "--references", true}, OptionSpec{nullptr, "--folding", true}});
    if (options.Has("--help")) {
        std::printf("%s%s", kHelp, kCommonHelp);
        return kExitOk;
    }
    if (options.Has("--profile")) throw UsageError("use --base to start from another profile");
    if (options.Positional().empty()) throw UsageError("no manifest given");
    const auto output = options.Value("--output");
    if (!output || *output == "-" || output->empty()) {
        throw UsageError("name the profile to write with -o FILE");
    }

    Profile profile = LoadProfileOrDefault(options.Text("--base", ""));
    profile.targetSampleRate =
        options.Integer("--target-rate", profile.targetSampleRate, 1, 1 << 30);
    profile.melChannels = options.Integer("--mel-channels", profile.melChannels, 1, 1 << 20);
    profile.coefficients = options.Integer("--coefficients", profile.coefficients, 1, 1 << 20);
    profile.blockLength = options.Integer("--block", profile.blockLength, 1, 1 << 30);
    if (const auto method = options.Value("--score-method")) {
        profile.scoreMethod = ScoreMethodFromName(*method);
        if (profile.scoreMethod < 0) {
            throw UsageError("unknown score method '" + *method +
                             "' (MeanAbsoluteDistance, RootMeanSquareDistance, CosineSimilarity)");
        }
    }
    // The parameters alone must already make a usable job (the statistics come later).
    {
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
    }
    const float minVolume = SilenceVolume(options, "--min-volume", kDefaultMinVolumeDb);
    const std::string silenceName = options.Text("--silence-phoneme", kSilenceLabel);
    const double trim = options.Number("--trim", 0.0, 0.0, 60000.0) / 1000.0;
    const std::string referencesText = options.Text("--references", "auto");
    const size_t references =
        referencesText == "auto"
            ? 0
            : static_cast<size_t>(options.Integer("--references", 1, 1, kMaxReferences));
    if (const auto folding = options.Value("--folding")) {
        if (*folding == "Sum") {
            profile.folding = Host::Folding::Sum;
        } else if (*folding == "Maximum") {
            profile.folding = Host::Folding::Maximum;
        } else {
            throw UsageError("unknown folding '" + *folding + "' (Sum or Maximum)");
        }
    }

    std::vector<LabelledFile> files;
    for (const std::string& manifest : options.Positional()) {
        const auto listed = LoadManifest(manifest);
        files.insert(files.end(), listed.begin(), listed.end());
    }
    std::vector<std::string> order;
    if (const auto list = options.Value("--phonemes")) {
        order = SplitList(*list);
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

    const auto m = static_cast<size_t>(profile.coefficients);
    std::map<std::string, Sums> sums;
    for (const LabelledFile& file : files)
        sums[file.phoneme].files.push_back(file.path);
    std::vector<double> total(m, 0.0), squares(m, 0.0);
    size_t totalFrames = 0;

    std::vector<std::string> paths;
    for (const LabelledFile& file : files)
        paths.push_back(file.path);
    BatchSettings settings = BatchFromOptions(options, "vocetta calibrate");
    settings.scorePhonemes = false;
    const Host::Library library = OpenLibrary(options);
    size_t failures = 0;
    RunBatch(
        library, profile, paths, settings,
        [&](size_t index, const Recording&, const Analysis& analysis) {
            const std::string& phoneme = files[index].phoneme;
            const bool isSilence = phoneme == silenceName;
            Sums& target = sums[phoneme];
            const double halfBlock = 0.5 * analysis.ringLength / analysis.sampleRate;
            for (size_t frame = 0; frame < analysis.FrameCount(); ++frame) {
                const FrameResult& result = analysis.frames[frame];
                if (result.time - halfBlock < trim ||
                    result.time + halfBlock > analysis.seconds - trim) {
                    continue;
                }
                if (!isSilence && !(result.volume >= minVolume)) continue;
                const float* mfcc = analysis.Mfcc(frame);
                bool finite = true;
                for (size_t i = 0; i < m; ++i)
                    finite = finite && std::isfinite(mfcc[i]);
                if (!finite) continue;
                target.kept.insert(target.kept.end(), mfcc, mfcc + m);
                for (size_t i = 0; i < m; ++i) {
                    total[i] += mfcc[i];
                    squares[i] += double(mfcc[i]) * mfcc[i];
                }
                ++target.frames;
                ++totalFrames;
            }
        },
        [&](size_t, const std::string&) { ++failures; });
    if (failures != 0) {
        throw ToolError("no profile written: " + std::to_string(failures) +
                        " recording(s) could not be used");
    }

    for (const std::string& name : order) {
        const Sums& phoneme = sums[name];
        if (phoneme.frames == 0) {
            std::string list;
            for (const std::string& file : phoneme.files)
                list += (list.empty() ? "" : ", ") + file;
            throw ToolError("phoneme '" + name + "': no usable frames in " + list +
                            " (too short, too quiet for --min-volume, or silent)");
        }
    }
    profile.means.assign(m, 0.0f);
    profile.standardDeviations.assign(m, 0.0f);
    for (size_t i = 0; i < m; ++i) {
        const double mean = total[i] / double(totalFrames);
        const double variance = std::max(0.0, squares[i] / double(totalFrames) - mean * mean);
        profile.means[i] = static_cast<float>(mean);
        profile.standardDeviations[i] = static_cast<float>(std::sqrt(variance));
        if (!(profile.standardDeviations[i] > 0)) {
            throw ToolError("coefficient " + std::to_string(i + 1) +
                            " does not vary across the recordings (standard deviation 0); "
                            "the phonemes cannot be told apart");
        }
    }
    const Profile base = profile;
    profile.phonemes.clear();
    size_t referenceCount = 0;
    for (size_t p = 0; p < order.size(); ++p) {
        Phoneme phoneme;
        phoneme.name = order[p];
        const int known = base.IndexOf(order[p]);
        phoneme.color = known >= 0 ? base.phonemes[static_cast<size_t>(known)].color
                                   : kPalette[p % kPalette.size()];
        if (known >= 0) phoneme.shapes = base.phonemes[static_cast<size_t>(known)].shapes;
        const Sums& phonemeSums = sums[order[p]];
        phoneme.references = ClusterMeans(
            phonemeSums.kept, m, profile.standardDeviations,
            references == 0 ? AutomaticReferenceCount(phonemeSums.frames) : references);
        referenceCount += phoneme.references.size();
        profile.phonemes.push_back(std::move(phoneme));
    }
    ValidateProfile(profile, *output);
    WriteOutput(*output, SerializeProfile(profile));
    if (!options.Has("--quiet")) {
        std::fprintf(stderr,
                     "vocetta calibrate: %s: %zu phonemes (%zu references) from %zu frames of "
                     "%zu files\n",
                     output->c_str(), order.size(), referenceCount, totalFrames, files.size());
    }
    return kExitOk;
}

}  // namespace Vocetta::Tool
