// Options and defaults that several subcommands share.
#pragma once

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "batch.hpp"
#include "command_line.hpp"
#include "labels.hpp"
#include "output.hpp"
#include "vocetta/library.hpp"

namespace Vocetta::Tool {

// Real-time defaults: an engine that runs the job every 10 ms of captured audio.
inline constexpr double kDefaultHopMs = 10.0;

struct CommonOptions {
    std::string profile;  // empty: the built-in profile
    std::string library;  // empty: the default search
    double hopMs = kDefaultHopMs;
    int jobs = DefaultThreads();
    bool quiet = false;
    std::string progress;      // empty: the bar, unless quiet
    bool force = false;        // replace output files that exist
    bool cleansNoise = false;  // the subcommand offers --keep-noise, and cleans without it
    bool keepNoise = false;    // --keep-noise: the audio as recorded, its steady noise left in

    Existing existing() const { return force ? Existing::Replace : Existing::Refuse; }
};

// -p (unless the subcommand names its profile otherwise), --hop, -j, -q and --library.
void AddCommonOptions(CommandLine& line, CommonOptions& options, bool withProfile = true);
// Makes the subcommand clean the noise out of its recordings, and offers --keep-noise: for those
// that label recordings, and adapt, whose speaker mean should be that of the audio analyze hears.
// Without it a subcommand reads recordings as they are, as calibrate does: the built-in profile
// learnt from noisy copies as recorded, and does better on them than on cleaned ones.
void AddCleaningOption(CommandLine& line, CommonOptions& options);
// --force, for subcommands that write files.
void AddForceOption(CommandLine& line, CommonOptions& options);
// --library alone, for subcommands that analyse nothing.
void AddLibraryOption(CommandLine& line, std::string& path);

Host::Library OpenLibrary(const std::string& path);

// What a subcommand that makes one file of one recording checks first (render, preview): one
// input, an output named as a file (`what`: how to name it), and that file neither the recording
// nor the profile, nor there already without --force. UsageError otherwise.
void CheckOneRecordingToAFile(const CommonOptions& options, const std::vector<std::string>& inputs,
                              const std::string& output, const std::string& what);
BatchSettings BatchFromOptions(const CommonOptions& options, const char* label);

// Every recording analysed without phoneme scores, for what builds a profile from them (calibrate,
// adapt): `done` as RunBatch's, cleaned as BatchFromOptions says. ToolError when any recording
// could not be used, so that no profile is written from part of them.
void AnalyseForProfile(const CommonOptions& options, const char* label, const Profile& profile,
                       const std::vector<std::string>& paths,
                       const std::function<void(size_t, const Recording&, const Analysis&)>& done);

// How frames become phonemes, as given on the command line (labels.hpp).
struct LabelArguments {
    double silenceDb = std::numeric_limits<double>::quiet_NaN();  // NaN: the relative gate
    double gateDb = kDefaultGateDb;
    bool noSmoothing = false;
    double switchCost = std::numeric_limits<double>::quiet_NaN();  // NaN: the default
};

// --gate, --silence, --no-smoothing, --switch-cost.
void AddLabelOptions(CommandLine& line, LabelArguments& arguments);
LabelSettings LabelSettingsFrom(const LabelArguments& arguments);

}  // namespace Vocetta::Tool
