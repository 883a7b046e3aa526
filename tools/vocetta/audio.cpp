#include "audio.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>

#include "error.hpp"

namespace Vocetta::Tool {
namespace {

// Mono samples per read when the caller does not say: a few hundred kilobytes of decoding state.
constexpr size_t kReadFrames = 16384;

// The size a WAV or AIFF audio-chunk line of libsndfile's log gives ("data : 88200 (should be
// 200)"), or -1 when the line is about something else.
int64_t ChunkSize(const std::string& line) {
    if (!line.starts_with("data :") && !line.starts_with("SSND :")) return -1;
    const char* first = line.data() + 6;
    while (*first == ' ')
        ++first;
    int64_t size = -1;
    std::from_chars(first, line.data() + line.size(), size);
    return size;
}

}  // namespace

// Standard input for libsndfile, which seeks back while it reads a header (and its FLAC decoder
// re-reads the stream's start): the first kHead bytes are kept so that it can, and after them the
// stream is read straight, forward only, in constant memory.
struct AudioReader::Pipe {
    static constexpr size_t kHead = size_t(1) << 20;
    std::vector<char> head;  // bytes [0, head.size()) of the stream while position <= kHead
    sf_count_t position = 0;
    sf_count_t consumed = 0;  // bytes taken from the descriptor
    bool ended = false;
    int descriptor = STDIN_FILENO;
    bool sizesSeen = false;

    sf_count_t Fill(char* into, sf_count_t count) {
        sf_count_t got = 0;
        while (got < count && !ended) {
            const ssize_t n = ::read(descriptor, into + got, static_cast<size_t>(count - got));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                ended = true;
                break;
            }
            got += n;
        }
        return got;
    }

    // A WAV header written before the length was known may give the RIFF and data chunks a size
    // of 0 instead of the largest one; both mean "to the end of the stream". The bytes at
    // [from, from + count) of the stream have just been copied to `out`.
    void OpenEndedSizes(char* out, sf_count_t from, sf_count_t count) {
        if (sizesSeen || head.size() < 12) return;
        if (std::memcmp(head.data(), "RIFF", 4) != 0 || std::memcmp(head.data() + 8, "WAVE", 4)) {
            sizesSeen = true;
            return;
        }
        auto openEnded = [&](size_t field) {
            uint32_t size = 0;
            std::memcpy(&size, head.data() + field, 4);
            if (size != 0) return;
            std::memset(head.data() + field, 0xFF, 4);
            for (sf_count_t at = sf_count_t(field); at < sf_count_t(field) + 4; ++at) {
                if (at >= from && at < from + count) out[at - from] = '\xff';
            }
        };
        for (size_t offset = 12; offset + 8 <= head.size();) {
            uint32_t size = 0;
            std::memcpy(&size, head.data() + offset + 4, 4);
            if (std::memcmp(head.data() + offset, "data", 4) == 0) {
                openEnded(4);
                openEnded(offset + 4);
                sizesSeen = true;
                return;
            }
            offset += 8 + size + (size & 1);
        }
    }

    // Unknown; as long as any file could be, so that no chunk looks as if it ran past the end.
    static sf_count_t Length(void*) { return sf_count_t(1) << 53; }
    static sf_count_t Tell(void* self) { return static_cast<Pipe*>(self)->position; }
    static sf_count_t Seek(sf_count_t offset, int whence, void* data) {
        Pipe& pipe = *static_cast<Pipe*>(data);
        sf_count_t target = offset;
        if (whence == SEEK_CUR) target = pipe.position + offset;
        if (whence == SEEK_END || target < 0) return -1;
        // Back into the kept head, or forward by reading on.
        if (target <= pipe.consumed) {
            if (target != pipe.position && pipe.consumed > static_cast<sf_count_t>(kHead))
                return -1;
            pipe.position = target;
            return target;
        }
        // A reader that looks for the end of the stream does not get it.
        if (target - pipe.position > static_cast<sf_count_t>(kHead)) return -1;
        std::vector<char> skipped(static_cast<size_t>(target - pipe.position));
        Read(skipped.data(), static_cast<sf_count_t>(skipped.size()), data);
        return pipe.position == target ? target : -1;
    }
    static sf_count_t Read(void* into, sf_count_t count, void* data) {
        Pipe& pipe = *static_cast<Pipe*>(data);
        char* out = static_cast<char*>(into);
        sf_count_t done = 0;
        // From the kept head first.
        if (pipe.position < static_cast<sf_count_t>(pipe.head.size())) {
            const sf_count_t n =
                std::min(count, static_cast<sf_count_t>(pipe.head.size()) - pipe.position);
            std::memcpy(out, pipe.head.data() + pipe.position, static_cast<size_t>(n));
            done = n;
            pipe.position += n;
        }
        if (done < count) {
            const sf_count_t got = pipe.Fill(out + done, count - done);
            if (pipe.consumed + got <= static_cast<sf_count_t>(kHead)) {
                pipe.head.insert(pipe.head.end(), out + done, out + done + got);
                pipe.OpenEndedSizes(out + done, pipe.position, got);
            } else {
                pipe.head.clear();  // past the head: nothing earlier is read again
                pipe.head.shrink_to_fit();
            }
            pipe.consumed += got;
            pipe.position += got;
            done += got;
        }
        return done;
    }
    static sf_count_t Write(const void*, sf_count_t, void*) { return 0; }
};

RawFormat ParseRawFormat(const std::string& text) {
    RawFormat raw;
    std::vector<std::string> parts;
    for (size_t start = 0;;) {
        const size_t colon = text.find(':', start);
        parts.push_back(text.substr(start, colon - start));
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    auto number = [&](const std::string& part, int low, int high, const char* what) {
        int value = 0;
        const auto parsed = std::from_chars(part.data(), part.data() + part.size(), value);
        if (parsed.ec != std::errc() || parsed.ptr != part.data() + part.size() || value < low ||
            value > high) {
            throw UsageError("--raw " + text + ": " + what + " must be a whole number in " +
                             std::to_string(low) + " ... " + std::to_string(high));
        }
        return value;
    };
    if (parts.size() > 3) throw UsageError("--raw " + text + ": expected RATE[:CHANNELS][:FORMAT]");
    raw.sampleRate = number(parts[0], 1, 1 << 24, "the rate");
    if (parts.size() > 1 && !parts[1].empty()) raw.channels = number(parts[1], 1, 256, "channels");
    if (parts.size() > 2) {
        static constexpr struct {
            const char* name;
            int format;
        } kFormats[] = {{"s8", SF_FORMAT_PCM_S8},  {"u8", SF_FORMAT_PCM_U8},
                        {"s16", SF_FORMAT_PCM_16}, {"s24", SF_FORMAT_PCM_24},
                        {"s32", SF_FORMAT_PCM_32}, {"f32", SF_FORMAT_FLOAT},
                        {"f64", SF_FORMAT_DOUBLE}};
        bool known = false;
        for (const auto& format : kFormats) {
            if (parts[2] == format.name) {
                raw.format = format.format;
                known = true;
            }
        }
        if (!known) {
            throw UsageError("--raw " + text + ": unknown sample format '" + parts[2] +
                             "' (s8, u8, s16, s24, s32, f32 or f64)");
        }
    }
    return raw;
}

AudioReader::AudioReader(const std::string& path, const std::optional<RawFormat>& raw)
    : path_(path), standardInput_(path == "-") {
    if (standardInput_) path_ = "standard input";
    SF_INFO info{};
    if (raw) {
        info.samplerate = raw->sampleRate;
        info.channels = raw->channels;
        info.format = SF_FORMAT_RAW | raw->format | SF_ENDIAN_LITTLE;
    }
    if (standardInput_) {
        pipe_ = std::make_unique<Pipe>();
        SF_VIRTUAL_IO io{Pipe::Length, Pipe::Seek, Pipe::Read, Pipe::Write, Pipe::Tell};
        file_ = sf_open_virtual(&io, SFM_READ, &info, pipe_.get());
    } else {
        // libsndfile says "System error" for both a missing and an unreadable file; the system's
        // own words are clearer.
        struct stat status {};
        if (::stat(path.c_str(), &status) != 0) {
            throw ToolError(path + ": cannot open: " + std::strerror(errno));
        }
        if (S_ISDIR(status.st_mode)) throw ToolError(path + ": is a directory, not a recording");
        // libsndfile would call it a format it does not know.
        if (S_ISREG(status.st_mode) && status.st_size == 0) {
            throw ToolError(path + ": the file is empty (0 bytes)");
        }
        if (std::FILE* probe = std::fopen(path.c_str(), "rb")) {
            std::fclose(probe);
        } else {
            throw ToolError(path + ": cannot open: " + std::strerror(errno));
        }
        file_ = sf_open(path.c_str(), SFM_READ, &info);
        // A WAV file whose header was never finished (its data chunk gives 0 bytes) is read to
        // its end, as a stream.
        if (file_ != nullptr && info.frames == 0 &&
            (info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WAV) {
            sf_close(file_);
            file_ = nullptr;
            pipe_ = std::make_unique<Pipe>();
            pipe_->descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (pipe_->descriptor < 0) {
                throw ToolError(path + ": cannot open: " + std::strerror(errno));
            }
            SF_VIRTUAL_IO io{Pipe::Length, Pipe::Seek, Pipe::Read, Pipe::Write, Pipe::Tell};
            info = {};
            file_ = sf_open_virtual(&io, SFM_READ, &info, pipe_.get());
            openEnded_ = true;
        }
    }
    if (file_ == nullptr) {
        throw ToolError(path_ + ": not a supported audio file (" + sf_strerror(nullptr) + ")" +
                        (standardInput_ && !raw ? "; name headerless samples with --raw" : ""));
    }
    if (info.channels < 1) throw ToolError(path_ + ": the file declares no audio channels");
    if (info.samplerate <= 0) throw ToolError(path_ + ": the file declares no sample rate");
    sampleRate_ = info.samplerate;
    channels_ = info.channels;
    // What a stream's header says of its length is a guess made before it was recorded.
    if (!standardInput_ && !openEnded_ && info.frames > 0 && info.frames != SF_COUNT_MAX)
        declared_ = info.frames;
    // Floats at full scale +-1 whatever the stored format; integer formats are not clipped.
    sf_command(file_, SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
}

AudioReader::~AudioReader() {
    if (file_ != nullptr) sf_close(file_);
    if (pipe_ && pipe_->descriptor != STDIN_FILENO && pipe_->descriptor >= 0) {
        ::close(pipe_->descriptor);
    }
}

size_t AudioReader::Read(float* mono, size_t count) {
    if (ended_ || count == 0) return 0;
    const auto channels = static_cast<size_t>(channels_);
    interleaved_.resize(count * channels);
    const sf_count_t got =
        sf_readf_float(file_, interleaved_.data(), static_cast<sf_count_t>(count));
    const size_t frames = got > 0 ? static_cast<size_t>(got) : 0;
    for (size_t frame = 0; frame < frames; ++frame) {
        const float* values = &interleaved_[frame * channels];
        float sum = 0;
        for (size_t c = 0; c < channels; ++c)
            sum += values[c];
        mono[frame] = channels == 1 ? sum : sum / static_cast<float>(channels);
        if (!std::isfinite(mono[frame])) {
            throw ToolError(path_ + ": the recording holds samples that are not finite numbers");
        }
    }
    read_ += static_cast<int64_t>(frames);
    if (frames < count) {
        ended_ = true;
        CheckEnd();
    }
    return frames;
}

void AudioReader::CheckEnd() {
    if (sf_error(file_) != SF_ERR_NO_ERROR) {
        throw ToolError(path_ + ": cannot decode: " + sf_strerror(file_));
    }
    // For WAV and AIFF, libsndfile shortens the audio chunk to what the file holds and only logs
    // the difference ("data : 88200 (should be 200)"). A streaming header, written before the
    // length was known, gives 0 or the largest size instead: it promises nothing.
    if (standardInput_ || openEnded_) return CheckEmpty();
    char log[4096] = {};
    sf_command(file_, SFC_GET_LOG_INFO, log, sizeof log);
    for (const char* line = log; *line != '\0';) {
        const char* end = std::strchr(line, '\n');
        std::string text(line, end != nullptr ? end : line + std::strlen(line));
        text.erase(0, text.find_first_not_of(' '));
        const int64_t size = ChunkSize(text);
        if (size > 0 && size < 0xFFFFFFF0 && text.find("should be") != std::string::npos) {
            throw ToolError(path_ +
                            ": truncated: the audio chunk is shorter than its header says (" +
                            text + ")");
        }
        if (end == nullptr) break;
        line = end + 1;
    }
    if (declared_ > 0 && read_ < declared_) {
        throw ToolError(path_ + ": truncated: the header promises " + std::to_string(declared_) +
                        " sample frames, the file holds " + std::to_string(read_));
    }
    CheckEmpty();
}

void AudioReader::CheckEmpty() const {
    if (read_ == 0) {
        throw ToolError(path_ + ": the recording is empty (no samples could be decoded)");
    }
}

Recording LoadRecording(const std::string& path, const std::optional<RawFormat>& raw) {
    AudioReader reader(path, raw);
    Recording recording;
    recording.path = reader.path();
    recording.sampleRate = reader.sampleRate();
    recording.channels = reader.channels();
    // The header's frame count is only a claim (a FLAC of a few hundred bytes can promise 2^36
    // frames): the samples grow as they decode, a piece at a time.
    for (;;) {
        const size_t have = recording.samples.size();
        recording.samples.resize(have + kReadFrames);
        const size_t got = reader.Read(recording.samples.data() + have, kReadFrames);
        recording.samples.resize(have + got);
        if (got < kReadFrames) break;
    }
    recording.length = recording.samples.size();
    return recording;
}

}  // namespace Vocetta::Tool
