// The tool's readers of files from anyone: profiles, manifests and recordings, and the ring-length
// rule that turns a recording's rate into the job's block. Each may refuse its input only with
// the tool's own error (a sentence naming the file); anything it accepts must be usable.
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <set>

#include "analysis.hpp"
#include "audio.hpp"
#include "error.hpp"
#include "harness.hpp"
#include "manifest.hpp"
#include "profile.hpp"
#include "targets.hpp"

namespace Vocetta::Fuzz {
namespace {

// The input as a file without a name on disk: /proc/self/fd/N of an in-memory file.
class MemoryFile {
  public:
    explicit MemoryFile(const std::string& contents) {
        fd_ = memfd_create("fuzz", 0);
        if (fd_ < 0) Fail("cannot create an in-memory file");
        for (size_t done = 0; done < contents.size();) {
            const ssize_t wrote = write(fd_, contents.data() + done, contents.size() - done);
            if (wrote <= 0) Fail("cannot write the in-memory file");
            done += static_cast<size_t>(wrote);
        }
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~MemoryFile() { close(fd_); }
    const std::string& path() const { return path_; }

  private:
    int fd_ = -1;
    std::string path_;
};

void RequireNamed(const Tool::ToolError& error, const std::string& origin) {
    if (std::string(error.what()).rfind(origin, 0) != 0) {
        Fail(std::string("an error that does not name the file: ") + error.what());
    }
}

bool SameProfile(const Tool::Profile& a, const Tool::Profile& b) {
    auto sameFloats = [](const std::vector<float>& x, const std::vector<float>& y) {
        if (x.size() != y.size()) return false;
        for (size_t i = 0; i < x.size(); ++i) {
            if (!SameBits(x[i], y[i])) return false;
        }
        return true;
    };
    if (a.targetSampleRate != b.targetSampleRate || a.melChannels != b.melChannels ||
        a.coefficients != b.coefficients || a.blockLength != b.blockLength ||
        a.scoreMethod != b.scoreMethod || !sameFloats(a.means, b.means) ||
        !sameFloats(a.standardDeviations, b.standardDeviations) ||
        a.phonemes.size() != b.phonemes.size()) {
        return false;
    }
    for (size_t i = 0; i < a.phonemes.size(); ++i) {
        const Tool::Phoneme &p = a.phonemes[i], &q = b.phonemes[i];
        if (p.name != q.name || !sameFloats(p.reference, q.reference)) return false;
        for (size_t c = 0; c < 3; ++c) {
            if (!SameBits(p.color[c], q.color[c])) return false;
        }
    }
    return true;
}

}  // namespace

int ProfileLoader(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string origin = "fuzz.json";
    Tool::Profile profile;
    try {
        profile = Tool::ParseProfile(text, origin);
    } catch (const Tool::ToolError& error) {
        RequireNamed(error, origin);
        return 0;
    }
    // An accepted profile is valid, keeps the job's preconditions, and survives being written
    // and read back bit for bit.
    try {
        Tool::ValidateProfile(profile, origin);
    } catch (const Tool::ToolError& error) {
        Fail(std::string("a parsed profile fails validation: ") + error.what());
    }
    Require(profile.coefficients >= 1 && profile.coefficients <= profile.melChannels - 1,
            "a profile with more coefficients than its mel channels give");
    Require(profile.means.size() == static_cast<size_t>(profile.coefficients) &&
                profile.standardDeviations.size() == static_cast<size_t>(profile.coefficients),
            "statistics of another length than the coefficients");
    std::set<std::string> names;
    for (const Tool::Phoneme& phoneme : profile.phonemes) {
        Require(phoneme.reference.size() == static_cast<size_t>(profile.coefficients),
                "a reference of another length than the coefficients");
        Require(names.insert(phoneme.name).second, "two phonemes of one name");
    }
    for (float deviation : profile.standardDeviations)
        Require(std::isfinite(deviation) && deviation > 0.0f, "a deviation the job cannot use");
    Tool::Profile again;
    try {
        again = Tool::ParseProfile(Tool::SerializeProfile(profile), origin);
    } catch (const Tool::ToolError& error) {
        Fail(std::string("a written profile cannot be read back: ") + error.what());
    }
    Require(SameProfile(profile, again), "a profile changed on its way through a file");
    return 0;
}

int ManifestParser(const uint8_t* data, size_t size) {
    const MemoryFile file(std::string(reinterpret_cast<const char*>(data), size));
    std::vector<Tool::LabelledFile> files;
    try {
        files = Tool::LoadManifest(file.path());
    } catch (const Tool::ToolError& error) {
        RequireNamed(error, file.path());
        return 0;
    }
    Require(!files.empty(), "an accepted manifest lists nothing");
    int previous = 1;  // the header's line at least
    for (const Tool::LabelledFile& entry : files) {
        Require(!entry.path.empty() && !entry.phoneme.empty(), "an empty path or phoneme");
        Require(entry.line > previous, "rows out of line order");
        previous = entry.line;
    }
    return 0;
}

int AudioReader(const uint8_t* data, size_t size) {
    const MemoryFile file(std::string(reinterpret_cast<const char*>(data), size));
    Tool::Recording recording;
    try {
        recording = Tool::LoadRecording(file.path());
    } catch (const Tool::ToolError& error) {
        RequireNamed(error, file.path());
        return 0;
    }
    Require(recording.sampleRate > 0 && recording.channels >= 1, "a recording without a format");
    Require(!recording.samples.empty(), "an accepted recording is empty");
    for (float sample : recording.samples)
        Require(std::isfinite(sample), "an accepted recording holds a non-finite sample");
    return 0;
}

int RingLength(const uint8_t* data, size_t size) {
    Input input(data, size);
    Tool::Profile profile;
    profile.targetSampleRate = input.IntIn(4000, 192000);
    profile.blockLength = 64 << input.IntIn(0, 10);
    const int32_t sampleRate =
        input.Bool() ? static_cast<int32_t>(input.Bits()) : input.IntIn(4000, 400000);
    int length;
    try {
        length = Tool::RingLength(profile, sampleRate, "fuzz.wav");
    } catch (const Tool::ToolError& error) {
        RequireNamed(error, "fuzz.wav");
        return 0;
    }
    Require(length >= profile.blockLength, "a ring shorter than the block");
    // What the job itself makes of such a ring: its down-sampled frame, the fourth array it asks
    // for (after the ring copy and the low-pass filter's copy and taps), must be exactly one block.
    // The filter's length grows with the rate: rings beyond some 10^7 multiply-adds are left out.
    if (static_cast<int64_t>(length) * sampleRate > int64_t{2000} * 1000 * 1000) return 0;
    std::vector<float> ring(static_cast<size_t>(length), 0.0f), mfcc(1), scores(1);
    const std::vector<float> means(1, 0.0f), deviations(1, 1.0f), profiles(1, 0.0f);
    LipSyncResult result[1];
    LipSyncJob job{};
    job.input = {ring.data(), length, VOCETTA_ALLOCATOR_NONE};
    job.sampleRate = sampleRate;
    job.targetSampleRate = profile.targetSampleRate;
    job.melDiv = 4;
    job.means = {const_cast<float*>(means.data()), 1, VOCETTA_ALLOCATOR_NONE};
    job.standardDeviations = {const_cast<float*>(deviations.data()), 1, VOCETTA_ALLOCATOR_NONE};
    job.phonemeProfiles = {const_cast<float*>(profiles.data()), 1, VOCETTA_ALLOCATOR_NONE};
    job.mfcc = {mfcc.data(), 1, VOCETTA_ALLOCATOR_NONE};
    job.scores = {scores.data(), 1, VOCETTA_ALLOCATOR_NONE};
    job.result = {result, 1, VOCETTA_ALLOCATOR_NONE};
    Host::Accounting accounting;
    Library().entries().LipSyncJob_Execute(&job);
    int allocations = 0;
    for (const Host::ServiceCall& call : accounting.calls()) {
        if (call.kind != Host::ServiceCall::Kind::Allocate || ++allocations != 4) continue;
        if (call.size != int64_t{profile.blockLength} * 4) {
            Fail("a ring of " + std::to_string(length) + " samples at " +
                 std::to_string(sampleRate) + " Hz gives a frame of " +
                 std::to_string(call.size / 4) + " samples, not " +
                 std::to_string(profile.blockLength));
        }
    }
    return 0;
}

}  // namespace Vocetta::Fuzz
