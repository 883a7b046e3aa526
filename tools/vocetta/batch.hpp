// Analysing a list of recordings on several threads: each file's frames are cut into chunks
// that the threads share, so one long file and many short ones both keep every thread busy.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "analysis.hpp"
#include "progress.hpp"

namespace Vocetta::Tool {

struct BatchSettings {
    double hopSeconds = 0.01;
    bool scorePhonemes = true;
    int threads = 1;
    bool progress = true;
    std::string command = "vocetta";  // prefix of messages and label of the bar
};

// Calls `done` for every file whose analysis succeeded, in input order, on the calling thread;
// `failed` for every file that could not be read or analysed (the message names the file). The
// progress bar, if shown, stays below such messages.
void RunBatch(const Host::Library& library, const Profile& profile,
              const std::vector<std::string>& paths, const BatchSettings& settings,
              const std::function<void(size_t, const Recording&, const Analysis&)>& done,
              const std::function<void(size_t, const std::string&)>& failed);

// The number of processors, at least 1.
int DefaultThreads();

}  // namespace Vocetta::Tool
