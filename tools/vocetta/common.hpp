// Options and defaults that several subcommands share.
#pragma once

#include <cmath>
#include <string>

#include "batch.hpp"
#include "labels.hpp"
#include "options.hpp"
#include "vocetta/library.hpp"

namespace Vocetta::Tool {

// Real-time defaults: an engine that runs the job every 10 ms of captured audio.
inline constexpr double kDefaultHopMs = 10.0;
// Blocks quieter than this (RMS, dB relative to full scale) count as silence.
inline constexpr double kDefaultSilenceDb = -40.0;

#define VOCETTA_COMMON_OPTIONS                                                   \
    OptionSpec{"-p", "--profile", true}, OptionSpec{nullptr, "--library", true}, \
        OptionSpec{nullptr, "--hop", true}, OptionSpec{"-j", "--jobs", true},    \
        OptionSpec{"-q", "--quiet", false}, OptionSpec {                         \
        "-h", "--help", false                                                    \
    }

inline constexpr const char* kCommonHelp =
    "  -p, --profile FILE   profile to use (default: the built-in vowel profile)\n"
    "      --hop MS         time between analysed frames in milliseconds (default 10)\n"
    "  -j, --jobs N         threads to use (default: one per processor)\n"
    "  -q, --quiet          no progress bar\n"
    "      --library PATH   libvocetta.so to load (default: beside the tool)\n";

// How frames become phonemes: the silence gate and the smoothing (labels.hpp).
#define VOCETTA_LABEL_OPTIONS                                                    \
    OptionSpec{nullptr, "--silence", true}, OptionSpec{nullptr, "--gate", true}, \
        OptionSpec{nullptr, "--no-smoothing", false}, OptionSpec {               \
        nullptr, "--switch-cost", true                                           \
    }

inline constexpr const char* kLabelHelp =
    "      --gate DB        frames more than DB below the recording's level (its 95th-\n"
    "                       percentile frame volume) are 'sil' (default -30)\n"
    "      --silence DB     a fixed gate instead: frames quieter than DB dBFS are 'sil'\n"
    "      --no-smoothing   label every frame by its own best score\n"
    "      --switch-cost C  log-score cost of a change of phoneme when smoothing (default 4)\n";

inline LabelSettings LabelSettingsFromOptions(const Options& options) {
    LabelSettings settings;
    if (options.Has("--silence"))
        settings.absoluteDb = options.Number("--silence", 0.0, -200.0, 0.0);
    settings.gateDb = options.Number("--gate", kDefaultGateDb, -200.0, 0.0);
    settings.smoothing = !options.Has("--no-smoothing");
    settings.switchCost =
        static_cast<float>(options.Number("--switch-cost", kDefaultSwitchCost, 0.0, 1.0e6));
    return settings;
}

inline Host::Library OpenLibrary(const Options& options) {
    return Host::Library(options.Text("--library", Host::Library::DefaultPath()));
}

inline BatchSettings BatchFromOptions(const Options& options, const char* label) {
    BatchSettings settings;
    settings.hopSeconds = options.Number("--hop", kDefaultHopMs, 0.01, 10000.0) / 1000.0;
    settings.threads = options.Integer("--jobs", DefaultThreads(), 1, 256);
    settings.progress = !options.Has("--quiet");
    settings.command = label;
    return settings;
}

inline float SilenceVolume(const Options& options, const char* name = "--silence",
                           double fallbackDb = kDefaultSilenceDb) {
    const double decibels = options.Number(name, fallbackDb, -200.0, 0.0);
    return static_cast<float>(std::pow(10.0, decibels / 20.0));
}

}  // namespace Vocetta::Tool
