// Analysing a list of recordings, each decoded a piece at a time so that memory stays bounded
// whatever its length. On several threads, each stretch of a recording is cut into runs of frames
// that the threads share (each run its own streaming analyzer started where the run begins, which
// gives the same frames, bit for bit, as one analyzer over the whole recording).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "analysis.hpp"
#include "progress.hpp"

namespace Vocetta::Tool {

struct BatchSettings {
    double hopSeconds = 0.01;
    bool scorePhonemes = true;
    int threads = 1;
    ProgressMode progress = ProgressMode::Bar;
    std::string command = "vocetta";  // prefix of messages and label of the bar
    std::optional<RawFormat> raw;     // how to read headerless samples
    bool keepSamples = false;         // fill Recording::samples (for what embeds the audio)
    bool cleanNoise = false;          // analyse the audio with its steady noise taken out
    // Called on the calling thread for every frame, in order, once it is analysed; `analysis`
    // holds the frames so far. With it, standard input is read one hop at a time and analysed on
    // the calling thread, so that each frame follows its samples at once.
    std::function<void(size_t index, const Recording& recording, const Analysis& analysis,
                       size_t frame)>
        onFrame;
};

// Calls `done` for every file whose analysis succeeded, in input order, on the calling thread;
// `failed` for every file that could not be read or analysed (the message names the file). The
// progress bar, if shown, stays below such messages. "-" is standard input.
void RunBatch(const Host::Library& library, const Profile& profile,
              const std::vector<std::string>& paths, const BatchSettings& settings,
              const std::function<void(size_t, const Recording&, const Analysis&)>& done,
              const std::function<void(size_t, const std::string&)>& failed);

// The number of processors, at least 1.
int DefaultThreads();

}  // namespace Vocetta::Tool
