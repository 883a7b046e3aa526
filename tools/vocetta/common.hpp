// Options and defaults that several subcommands share.
#pragma once

#include <cmath>
#include <string>

#include "batch.hpp"
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
