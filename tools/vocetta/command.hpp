// The vocetta tool's subcommands. Each one gets its arguments after the subcommand name and
// returns the process exit status; problems are thrown as ToolError or UsageError (error.hpp),
// which main prints as one line on stderr.
#pragma once

#include <string>
#include <vector>

namespace Vocetta::Tool {

using Arguments = std::vector<std::string>;

struct Command {
    const char* name;
    const char* summary;
    int (*run)(const Arguments& arguments);
};

// Exit statuses shared by every subcommand.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // bad input: a file, a profile, a recording
inline constexpr int kExitUsage = 2;    // bad options

int RunInfo(const Arguments& arguments);
int RunAnalyze(const Arguments& arguments);
int RunCalibrate(const Arguments& arguments);
int RunAdapt(const Arguments& arguments);
int RunRender(const Arguments& arguments);
int RunEvaluate(const Arguments& arguments);
int RunPreview(const Arguments& arguments);

}  // namespace Vocetta::Tool
