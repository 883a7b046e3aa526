// vocetta adapt: a profile moved to one speaker, from recordings of that speaker alone.
#include <cstdio>

#include "command.hpp"
#include "common.hpp"
#include "error.hpp"
#include "output.hpp"
#include "vocetta/adaptation.hpp"

namespace Vocetta::Tool {
namespace {

constexpr const char* kSummary =
    "Adapts a profile to one speaker (a character's lines, a voice) from recordings of that\n"
    "speaker alone, without labels: the mean MFCC vector of their speech frames (frames within\n"
    "--gate dB of each recording's level, its 95th-percentile frame volume) replaces the\n"
    "profile's speakerMeans, and every reference but silence's moves with it.";
constexpr const char* kDetails =
    "The more speech the better: a minute of lines settles the mean; a single sustained vowel\n"
    "would make the vowel itself the speaker's mean, so give the speaker's varied speech.\n"
    "--anchor instead records the mean of the given recordings, those of the voices the profile\n"
    "was calibrated on, as the profile's speakerMeans, leaving the references alone.";

struct AdaptOptions {
    CommonOptions common;
    std::vector<std::string> inputs;
    std::string output;
    double gateDb = Host::kSpeechGateDb;
    double priorFrames = Host::kDefaultPriorFrames;
    bool anchor = false;
};

}  // namespace

int RunAdapt(const Arguments& arguments) {
    AdaptOptions options;
    CommandLine line("adapt", kSummary, kDetails);
    line.Positional("AUDIO", options.inputs, "recordings of the speaker");
    line.Text("-o,--output", options.output, "FILE", "the adapted profile to write (required)");
    line.Number("--gate", options.gateDb, -200.0, 0.0, "DB",
                "speech frames are within DB of their recording's level (default -20)");
    line.Number("--prior", options.priorFrames, 0.0, 1.0e12, "N",
                "frames' worth of weight of the profile's own speaker mean (default 100)");
    line.Flag("--anchor", options.anchor,
              "set the profile's speakerMeans to the recordings' mean, references unchanged");
    AddCommonOptions(line, options.common);
    AddCleaningOption(line, options.common);
    AddForceOption(line, options.common);
    if (!line.Parse(arguments)) return kExitOk;
    if (options.inputs.empty()) throw UsageError("no recording given");
    if (options.output.empty() || options.output == "-") {
        throw UsageError("name the profile to write with -o FILE");
    }
    {
        std::vector<std::string> read = options.inputs;
        if (!options.common.profile.empty()) read.push_back(options.common.profile);
        CheckOutput(options.output, read, options.common.existing());
    }
    Profile profile = LoadProfileOrDefault(options.common.profile);
    const std::string origin = options.common.profile.empty() ? std::string("the built-in profile")
                                                              : options.common.profile;
    if (options.anchor) {
        // The anchor is the plain mean of the recordings' speech frames, without a prior, read as
        // calibrate read them.
        profile.speakerMeans.assign(static_cast<size_t>(profile.coefficients), 0.0f);
        options.priorFrames = 0;
        options.common.keepNoise = true;
    } else if (profile.speakerMeans.empty()) {
        throw ToolError(origin +
                        ": the profile has no speakerMeans, so there is nothing to adapt "
                        "from (give it its calibration voices' mean with --anchor)");
    }
    Host::SpeakerEstimate estimate(profile, options.priorFrames);
    LabelSettings gate;
    gate.gateDb = options.gateDb;
    AnalyseForProfile(options.common, "vocetta adapt", profile, options.inputs,
                      [&](size_t, const Recording&, const Analysis& analysis) {
                          const float level = GateVolume(analysis, gate);
                          for (size_t frame = 0; frame < analysis.FrameCount(); ++frame) {
                              if (analysis.frames[frame].volume >= level) {
                                  estimate.Add({analysis.Mfcc(frame),
                                                static_cast<size_t>(analysis.coefficients)});
                              }
                          }
                      });
    if (estimate.frames() == 0) {
        throw ToolError("no profile written: the recordings hold no speech frames");
    }
    const std::vector<float> mean = estimate.Mean();
    if (options.anchor) {
        profile.speakerMeans = mean;
    } else {
        profile = Host::AdaptProfile(profile, mean);
    }
    ValidateProfile(profile, options.output);
    WriteOutput(options.output, SerializeProfile(profile), options.common.existing());
    if (!options.common.quiet) {
        std::fprintf(stderr, "vocetta adapt: %s: speaker mean of %.0f speech frames of %zu files\n",
                     options.output.c_str(), estimate.frames(), options.inputs.size());
    }
    return kExitOk;
}

}  // namespace Vocetta::Tool
