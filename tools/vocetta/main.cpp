#include <cstdio>
#include <cstring>
#include <exception>

#include "command.hpp"
#include "error.hpp"

namespace {

using namespace Vocetta::Tool;

constexpr Command kCommands[] = {
    {"analyze", "phoneme timelines of recordings (frames or segments; CSV, TSV, JSON)", RunAnalyze},
    {"calibrate", "build a profile from labelled recordings", RunCalibrate},
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

}  // namespace

int main(int argc, char** argv) {
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
