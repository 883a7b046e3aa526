#include "common.hpp"

namespace Vocetta::Tool {

void AddCommonOptions(CommandLine& line, CommonOptions& options, bool withProfile) {
    if (withProfile) {
        line.Text("-p,--profile", options.profile, "FILE",
                  "profile to use (default: the built-in vowel profile)");
    }
    line.Number("--hop", options.hopMs, 0.01, 10000.0, "MS",
                "time between analysed frames in milliseconds (default 10)");
    line.Integer("-j,--jobs", options.jobs, 1, 256, "N",
                 "threads to use (default: one per processor)");
    line.Flag("-q,--quiet", options.quiet, "no progress bar");
    AddLibraryOption(line, options.library);
}

void AddLibraryOption(CommandLine& line, std::string& path) {
    line.Text("--library", path, "PATH", "libvocetta.so to load (default: beside the tool)");
}

Host::Library OpenLibrary(const std::string& path) {
    return Host::Library(path.empty() ? Host::Library::DefaultPath() : path);
}

BatchSettings BatchFromOptions(const CommonOptions& options, const char* label) {
    BatchSettings settings;
    settings.hopSeconds = options.hopMs / 1000.0;
    settings.threads = options.jobs;
    settings.progress = !options.quiet;
    settings.command = label;
    return settings;
}

}  // namespace Vocetta::Tool
