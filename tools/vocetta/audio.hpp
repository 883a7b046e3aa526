// Recordings decoded through libsndfile (WAV, FLAC, Ogg/Vorbis, AIFF, ...) and mixed to mono.
#pragma once

#include <string>
#include <vector>

namespace Vocetta::Tool {

struct Recording {
    std::string path;
    int sampleRate = 0;          // Hz
    int channels = 0;            // before the mix-down
    std::vector<float> samples;  // mono, the mean of the channels, full scale +-1

    double Seconds() const { return sampleRate > 0 ? double(samples.size()) / sampleRate : 0.0; }
};

// Throws ToolError naming the file: missing, unreadable, not a supported audio file, truncated
// (fewer frames than the header promises) or empty.
Recording LoadRecording(const std::string& path);

}  // namespace Vocetta::Tool
