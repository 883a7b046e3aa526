#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

#include "command.hpp"
#include "error.hpp"
#include "output.hpp"

namespace {

using namespace Vocetta::Tool;

constexpr Command kCommands[] = {
    {"analyze", "phoneme timelines of recordings (frames or segments; CSV, TSV, JSON)", RunAnalyze},
    {"calibrate", "build a profile from labelled recordings", RunCalibrate},
    {"adapt", "adapt a profile to one speaker from their unlabelled recordings", RunAdapt},
    {"render", "paint the phoneme texture or the MFCC matrix of a recording as PNG", RunRender},
    {"preview", "an HTML page that plays a recording with its mouth cues and a drawn mouth",
     RunPreview},
    {"evaluate", "frame accuracy and confusion matrix of a profile on labelled recordings",
     RunEvaluate},
    {"info", "show the processor's feature level, the selected build and the entries", RunInfo},
};

void PrintUsage(std::FILE* stream) {
    std::fprintf(stream, "usage: vocetta <command> [options]\n\ncommands:\n");
    for (const Command& command : kCommands) {
        std::fprintf(stream, "  %-10s %s\n", command.name, command.summary);
    }
    std::fprintf(
        stream,
        "\nRun 'vocetta help <command>' or 'vocetta <command> --help' for a command's options.\n");
}

// Whatever went to standard output (results, help, info) must have arrived: a full disk or a closed
// pipe is a failure with a message, never a silent success.
int CloseStandardOutput(const char* name, int status) {
    errno = 0;
    const bool failed = std::ferror(stdout) != 0;
    // A run that failed already said why (a failed write of its results among others).
    if ((std::fclose(stdout) != 0 || failed) && status == kExitOk) {
        const int error = errno != 0                   ? errno
                          : StandardOutputError() != 0 ? StandardOutputError()
                                                       : EIO;
        std::fprintf(stderr, "vocetta%s%s: standard output: cannot write: %s\n",
                     name != nullptr ? " " : "", name != nullptr ? name : "", std::strerror(error));
        return kExitFailure;
    }
    return status;
}

int Run(int argc, char** argv) {
    if (argc < 2) {
        PrintUsage(stderr);
        return kExitUsage;
    }
    const char* name = argv[1];
    Arguments arguments(argv + 2, argv + argc);
    if (std::strcmp(name, "help") == 0 && argc > 2) {
        // "vocetta help analyze" is "vocetta analyze --help".
        name = argv[2];
        arguments = {"--help"};
    } else if (std::strcmp(name, "--help") == 0 || std::strcmp(name, "-h") == 0 ||
               std::strcmp(name, "help") == 0) {
        PrintUsage(stdout);
        return kExitOk;
    }
    if (std::strcmp(name, "--version") == 0) {
        std::printf("vocetta %s\n", VOCETTA_VERSION);
        return kExitOk;
    }
    for (const Command& command : kCommands) {
        if (std::strcmp(name, command.name) == 0) {
            try {
                return command.run(arguments);
            } catch (const UsageError& error) {
                std::fprintf(stderr, "vocetta %s: %s (see 'vocetta %s --help')\n", name,
                             error.what(), name);
                return kExitUsage;
            } catch (const std::exception& error) {
                std::fprintf(stderr, "vocetta %s: %s\n", name, error.what());
                return kExitFailure;
            }
        }
    }
    std::fprintf(stderr, "vocetta: unknown command '%s' (see 'vocetta --help')\n", name);
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    RemoveTemporariesOnSignals();
    const int status = Run(argc, argv);
    return CloseStandardOutput(argc >= 2 ? argv[1] : nullptr, status);
}
