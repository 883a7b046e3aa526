#include "audio.hpp"

#include <sndfile.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>

#include "error.hpp"

namespace Vocetta::Tool {
namespace {

struct CloseFile {
    void operator()(SNDFILE* file) const { sf_close(file); }
};

}  // namespace

Recording LoadRecording(const std::string& path) {
    // libsndfile says "System error" for both a missing and an unreadable file; the system's own
    // words are clearer.
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        throw ToolError(path + ": cannot open: " + std::strerror(errno));
    }
    if (S_ISDIR(status.st_mode)) throw ToolError(path + ": is a directory, not a recording");
    if (FILE* probe = std::fopen(path.c_str(), "rb")) {
        std::fclose(probe);
    } else {
        throw ToolError(path + ": cannot open: " + std::strerror(errno));
    }

    SF_INFO info{};
    std::unique_ptr<SNDFILE, CloseFile> file(sf_open(path.c_str(), SFM_READ, &info));
    if (!file) {
        throw ToolError(path + ": not a supported audio file (" + sf_strerror(nullptr) + ")");
    }
    Recording recording;
    recording.path = path;
    recording.sampleRate = info.samplerate;
    recording.channels = info.channels;
    if (info.channels < 1) throw ToolError(path + ": the file declares no audio channels");
    if (info.samplerate <= 0) throw ToolError(path + ": the file declares no sample rate");

    // Floats at full scale +-1 whatever the stored format; integer formats are not clipped.
    sf_command(file.get(), SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
    const int channels = info.channels;
    constexpr sf_count_t kChunkFrames = 16384;
    std::vector<float> chunk(static_cast<size_t>(kChunkFrames) * channels);
    // The header's frame count is only a claim (a FLAC of a few hundred bytes can promise 2^36
    // frames): reserve no more frames than the file has bytes, which any uncompressed frame takes
    // at least; compressed audio grows the array as it decodes.
    if (info.frames > 0 && info.frames != SF_COUNT_MAX) {
        const auto bytes = static_cast<sf_count_t>(status.st_size);
        recording.samples.reserve(static_cast<size_t>(std::min(info.frames, bytes)));
    }
    sf_count_t total = 0;
    for (;;) {
        const sf_count_t got = sf_readf_float(file.get(), chunk.data(), kChunkFrames);
        if (got < 0) break;
        for (sf_count_t frame = 0; frame < got; ++frame) {
            const float* values = &chunk[static_cast<size_t>(frame) * channels];
            float sum = 0;
            for (int c = 0; c < channels; ++c)
                sum += values[c];
            recording.samples.push_back(channels == 1 ? sum : sum / static_cast<float>(channels));
        }
        total += got;
        if (got < kChunkFrames) break;
    }
    if (sf_error(file.get()) != SF_ERR_NO_ERROR) {
        throw ToolError(path + ": cannot decode: " + sf_strerror(file.get()));
    }
    // For WAV and AIFF, libsndfile shortens the audio chunk to what the file holds and only logs
    // the difference ("data : 88200 (should be 200)").
    char log[4096] = {};
    sf_command(file.get(), SFC_GET_LOG_INFO, log, sizeof log);
    for (const char* line = log; *line != '\0';) {
        const char* end = std::strchr(line, '\n');
        std::string text(line, end != nullptr ? end : line + std::strlen(line));
        text.erase(0, text.find_first_not_of(' '));
        if ((text.starts_with("data :") || text.starts_with("SSND :")) &&
            text.find("should be") != std::string::npos) {
            throw ToolError(path +
                            ": truncated: the audio chunk is shorter than its header says (" +
                            text + ")");
        }
        if (end == nullptr) break;
        line = end + 1;
    }
    if (info.frames != SF_COUNT_MAX && info.frames > 0 && total < info.frames) {
        throw ToolError(path + ": truncated: the header promises " + std::to_string(info.frames) +
                        " sample frames, the file holds " + std::to_string(total));
    }
    if (recording.samples.empty()) {
        throw ToolError(path + ": the recording is empty (no samples could be decoded)");
    }
    for (float sample : recording.samples) {
        if (!std::isfinite(sample)) {
            throw ToolError(path + ": the recording holds samples that are not finite numbers");
        }
    }
    return recording;
}

}  // namespace Vocetta::Tool
