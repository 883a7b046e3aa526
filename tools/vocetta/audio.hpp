// Recordings decoded through libsndfile (WAV, FLAC, Ogg/Vorbis, AIFF, ...) and mixed to mono, read
// a piece at a time so that memory does not grow with the recording, from a file or from standard
// input ("-"), where raw samples need their format named (--raw).
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Vocetta::Tool {

struct Recording {
    std::string path;
    int sampleRate = 0;          // Hz
    int channels = 0;            // before the mix-down
    size_t length = 0;           // mono samples
    std::vector<float> samples;  // mono, the mean of the channels, full scale +-1 (when kept)

    double Seconds() const { return sampleRate > 0 ? double(length) / sampleRate : 0.0; }
};

// Headerless samples: --raw RATE[:CHANNELS][:FORMAT], FORMAT one of s8 u8 s16 s24 s32 f32 f64
// (little-endian; default s16, one channel).
struct RawFormat {
    int sampleRate = 0;
    int channels = 1;
    int format = SF_FORMAT_PCM_16;  // libsndfile's subtype
};
// Throws UsageError for a malformed description.
RawFormat ParseRawFormat(const std::string& text);

// Throws ToolError naming the file when it is missing, unreadable, not a supported audio file,
// truncated (fewer frames than the header promises; a streaming header that gives no length
// promises nothing), holds samples that are not finite, or is empty.
class AudioReader {
  public:
    explicit AudioReader(const std::string& path, const std::optional<RawFormat>& raw = {});
    ~AudioReader();
    AudioReader(const AudioReader&) = delete;
    AudioReader& operator=(const AudioReader&) = delete;

    const std::string& path() const { return path_; }
    int sampleRate() const { return sampleRate_; }
    int channels() const { return channels_; }
    // The frame count the header gives, or -1 when it gives none (a pipe, a streaming header).
    int64_t declaredFrames() const { return declared_; }
    int64_t framesRead() const { return read_; }

    // Up to `count` mono samples; fewer only at the end of the recording, 0 once it is over.
    size_t Read(float* mono, size_t count);

  private:
    void CheckEnd();
    void CheckEmpty() const;

    struct Pipe;  // standard input as libsndfile's virtual I/O
    std::string path_;
    bool standardInput_ = false;
    bool openEnded_ = false;  // a file read as a stream: its header gave no length
    std::unique_ptr<Pipe> pipe_;
    SNDFILE* file_ = nullptr;
    int sampleRate_ = 0, channels_ = 0;
    int64_t declared_ = -1, read_ = 0;
    std::vector<float> interleaved_;
    bool ended_ = false;
};

// A whole recording at once, for what needs every sample (the preview page embeds them).
Recording LoadRecording(const std::string& path, const std::optional<RawFormat>& raw = {});

}  // namespace Vocetta::Tool
