// Readers of files from anyone: the SDK's profile loader, the tool's manifests and recordings; and
// the SDK's ring-length rule and streaming analyzer. Each may refuse its input only with its own
// error (a sentence naming the file); anything it accepts must be usable.
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <set>
#include <stdexcept>

#include "audio.hpp"
#include "error.hpp"
#include "harness.hpp"
#include "job_arrays.hpp"
#include "manifest.hpp"
#include "targets.hpp"
#include "vocetta/analyzer.hpp"
#include "vocetta/cues.hpp"
#include "vocetta/profile.hpp"
#include "vocetta/rig.hpp"
#include "vocetta/ring.hpp"
#include "vocetta/smoother.hpp"
#include "vocetta/transcript.hpp"

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

void RequireNamed(const std::exception& error, const std::string& origin) {
    if (std::string(error.what()).rfind(origin, 0) != 0) {
        Fail(std::string("an error that does not name the file: ") + error.what());
    }
}

bool SameProfile(const Host::Profile& a, const Host::Profile& b) {
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
        !sameFloats(a.standardDeviations, b.standardDeviations) || a.folding != b.folding ||
        a.phonemes.size() != b.phonemes.size()) {
        return false;
    }
    for (size_t i = 0; i < a.phonemes.size(); ++i) {
        const Host::Phoneme &p = a.phonemes[i], &q = b.phonemes[i];
        if (p.name != q.name || p.references.size() != q.references.size() || p.shapes != q.shapes)
            return false;
        for (size_t r = 0; r < p.references.size(); ++r) {
            if (!sameFloats(p.references[r], q.references[r])) return false;
        }
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
    Host::Profile profile;
    try {
        profile = Host::ParseProfile(text, origin);
    } catch (const Host::ProfileError& error) {
        RequireNamed(error, origin);
        return 0;
    }
    // An accepted profile is valid, keeps the job's preconditions, and survives being written
    // and read back bit for bit.
    try {
        Host::ValidateProfile(profile, origin);
    } catch (const Host::ProfileError& error) {
        Fail(std::string("a parsed profile fails validation: ") + error.what());
    }
    Require(profile.coefficients >= 1 && profile.coefficients <= profile.melChannels - 1,
            "a profile with more coefficients than its mel channels give");
    Require(profile.means.size() == static_cast<size_t>(profile.coefficients) &&
                profile.standardDeviations.size() == static_cast<size_t>(profile.coefficients),
            "statistics of another length than the coefficients");
    std::set<std::string> names;
    for (const Host::Phoneme& phoneme : profile.phonemes) {
        Require(!phoneme.references.empty(), "a phoneme without a reference");
        for (const std::vector<float>& reference : phoneme.references) {
            Require(reference.size() == static_cast<size_t>(profile.coefficients),
                    "a reference of another length than the coefficients");
        }
        Require(names.insert(phoneme.name).second, "two phonemes of one name");
    }
    for (float deviation : profile.standardDeviations)
        Require(std::isfinite(deviation) && deviation > 0.0f, "a deviation the job cannot use");
    Host::Profile again;
    try {
        again = Host::ParseProfile(Host::SerializeProfile(profile), origin);
    } catch (const Host::ProfileError& error) {
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
    Host::Profile profile;
    profile.targetSampleRate = input.IntIn(4000, 192000);
    profile.blockLength = 64 << input.IntIn(0, 10);
    const int32_t sampleRate =
        input.Bool() ? static_cast<int32_t>(input.Bits()) : input.IntIn(4000, 400000);
    int length;
    try {
        length = Host::RingLength(profile, sampleRate, "fuzz.wav");
    } catch (const Host::ProfileError& error) {
        RequireNamed(error, "fuzz.wav");
        return 0;
    }
    Require(length >= profile.blockLength, "a ring shorter than the block");
    // What the job itself makes of such a ring: its down-sampled frame, the fourth array it asks
    // for (after the ring copy and the low-pass filter's copy and taps), must be exactly one block.
    // The filter's length grows with the rate: rings beyond some 10^7 multiply-adds are left out.
    if (static_cast<int64_t>(length) * sampleRate > int64_t{2000} * 1000 * 1000) return 0;
    Testing::JobArrays job;
    job.input.assign(static_cast<size_t>(length), 0.0f);
    job.means = {0.0f};
    job.deviations = {1.0f};
    job.profiles = {0.0f};
    job.mfcc.resize(1);
    job.scores.resize(1);
    job.Bind();
    job.record.sampleRate = sampleRate;
    job.record.targetSampleRate = profile.targetSampleRate;
    job.record.melDiv = 4;
    Host::Accounting accounting;
    Library().entries().LipSyncJob_Execute(&job.record);
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

namespace Vocetta::Fuzz {
namespace {

struct Frame {
    int64_t end;
    uint64_t volume;
    int32_t best;
    std::vector<float> scores, mfcc;
    bool operator==(const Frame& other) const {
        auto same = [](const std::vector<float>& a, const std::vector<float>& b) {
            return a.size() == b.size() &&
                   (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
        };
        return end == other.end && volume == other.volume && best == other.best &&
               same(scores, other.scores) && same(mfcc, other.mfcc);
    }
};

}  // namespace

int StreamingAnalyzer(const uint8_t* data, size_t size) {
    Input input(data, size);
    Host::Profile profile;
    constexpr int kTargets[] = {8000, 16000, 22050};
    profile.targetSampleRate = kTargets[input.Byte() % 3];
    profile.blockLength = 64 << input.IntIn(0, 3);
    profile.melChannels = input.IntIn(2, 30);
    profile.coefficients = input.IntIn(1, profile.melChannels - 1);
    profile.scoreMethod = input.IntIn(0, 2);
    for (int i = 0; i < profile.coefficients; ++i) {
        profile.means.push_back(input.FloatIn(-40.0f, 40.0f));
        profile.standardDeviations.push_back(input.FloatIn(0.5f, 30.0f));
    }
    const int phonemes = input.IntIn(1, 4);
    for (int p = 0; p < phonemes; ++p) {
        Host::Phoneme phoneme;
        phoneme.name = std::string(1, static_cast<char>('A' + p));
        const int references = input.IntIn(1, 3);
        for (int r = 0; r < references; ++r) {
            std::vector<float> reference;
            for (int i = 0; i < profile.coefficients; ++i)
                reference.push_back(input.FloatIn(-60.0f, 60.0f));
            phoneme.references.push_back(std::move(reference));
        }
        profile.phonemes.push_back(std::move(phoneme));
    }
    const int sampleRate = input.Bool() ? input.IntIn(1, 96000) : 48000;
    const int hop = input.Bool() ? input.IntIn(-2, 2000) : 160;
    const bool scorePhonemes = input.Bool();
    const int64_t inStream = int64_t{std::max(1, hop)} * input.IntIn(0, 50);
    // 64 frames at most: the accounting keeps every host call, thousands a frame. A rate the job
    // cannot take is left for the analyzer to refuse.
    int64_t longest = 12000;
    try {
        longest =
            Host::RingLength(profile, sampleRate, "the analyzer") + 63 * int64_t{std::max(1, hop)};
    } catch (const Host::ProfileError&) {
    }
    const std::vector<float> stream =
        input.Floats(static_cast<size_t>(std::min<int64_t>(input.IntIn(0, 12000), longest)));
    // Now and then a start before the stream, which the analyzer must refuse.
    const int64_t firstSample = input.Byte() % 4 == 3 ? -1 - inStream : inStream;

    // The stream in pieces of fuzzed sizes and in one piece: the same frames, bit for bit.
    auto analyse = [&](bool pieces) {
        std::vector<Frame> frames;
        Host::Accounting accounting;
        Host::Analyzer analyzer(Library().entries(), profile, sampleRate, hop, scorePhonemes,
                                firstSample);
        const auto keep = [&](const Host::AnalyzerFrame& frame) {
            frames.push_back({frame.end,
                              BitsOf(frame.volume),
                              frame.best,
                              {frame.scores.begin(), frame.scores.end()},
                              {frame.mfcc.begin(), frame.mfcc.end()}});
        };
        // Pieces of any size, empty ones included, while the cuts last; then the rest at once.
        Input cuts(data, size);
        for (size_t done = 0; done < stream.size();) {
            const size_t rest = stream.size() - done;
            const size_t piece =
                !pieces || cuts.remaining() == 0
                    ? rest
                    : std::min<size_t>(rest, cuts.Byte() * 16u + cuts.Byte() % 16u);
            analyzer.Push(stream.data() + done, piece, keep);
            done += piece;
        }
        analyzer.Finish(keep);
        for (const Host::AllocatorFault& fault : accounting.faults())
            Fail("allocator fault: " + fault.describe());
        Require(accounting.leaks().empty(), "the analyzer leaked scratch");
        // Frames end at L, then every hop; a stream too short for one block still gets one.
        const int64_t ring = analyzer.ringLength();
        const auto count = static_cast<int64_t>(stream.size());
        const int64_t expected = stream.empty() ? 0
                                 : count < ring ? 1
                                                : (count - ring) / std::max(1, hop) + 1;
        Require(static_cast<int64_t>(frames.size()) == expected,
                "the analyzer made the wrong number of frames");
        for (size_t i = 0; i < frames.size(); ++i) {
            Require(
                frames[i].end == firstSample + ring + static_cast<int64_t>(i) * std::max(1, hop),
                "a frame ends elsewhere than its hop says");
            Require(frames[i].scores.size() == (scorePhonemes ? profile.phonemes.size() : 0) &&
                        frames[i].mfcc.size() == static_cast<size_t>(profile.coefficients),
                    "a frame of another size than the profile's");
        }
        return frames;
    };
    try {
        const std::vector<Frame> whole = analyse(false);
        Require(firstSample >= 0, "the analyzer took a first sample before the stream");
        if (analyse(true) != whole) Fail("the analyzer's frames depend on how the stream is cut");
    } catch (const Host::ProfileError& error) {
        RequireNamed(error, "the analyzer");
    } catch (const std::invalid_argument& error) {
        RequireNamed(error, "the analyzer");
        Require(firstSample < 0, "the analyzer refused a first sample in the stream");
    }
    return 0;
}

// A line's transcript from anyone: IPA (or any bytes) split, classed and aligned to frame scores
// of any kind, impossible ones and all. Every frame gets one label among the states, the said
// marks one per frame, and the mouth's scores the job's shape, whatever the input.
int Transcript(const uint8_t* data, size_t size) {
    Input input(data, size);
    const std::vector<std::string> names = {"A", "I", "U", "E", "O", "M", "FV", "S", "sil"};
    const auto states = static_cast<size_t>(input.IntIn(1, 9));
    const std::vector<std::string> used(names.begin(), names.begin() + long(states));
    const auto frames = static_cast<size_t>(input.IntIn(0, 80));
    std::vector<float> rows(frames * states);
    for (float& value : rows)
        value = input.Bool() ? Host::kImpossibleLogScore : input.FloatIn(-30.0f, 0.0f);
    const int silence = input.IntIn(0, int(states) - 1);
    const std::string ipa = input.Rest();
    for (const std::string& phone : Host::SplitIpa(ipa)) {
        Require(!phone.empty(), "an empty phone");
        Require(phone == Host::kWordBreak || Host::IpaClass(phone).size() <= 2, "a long class");
    }
    const std::vector<int> phones = Host::TranscriptLabels(ipa, used);
    for (const int label : phones) {
        const int shown = label <= Host::kSoundsLikeBase ? Host::SoundsLike(label)
                          : label <= -3                  ? Host::HeardAsOther(label)
                                                         : label;
        Require(label == Host::kPauseMayFall || (shown >= -1 && shown < int(states)),
                "a phone label outside the names");
    }
    std::vector<unsigned char> said;
    std::vector<int> phoneOf;
    const std::vector<int> labels =
        Host::AlignTranscript(rows, states, silence, phones, {}, &said, &phoneOf);
    Require(labels.size() == frames && said.size() == frames && phoneOf.size() == frames,
            "not one label per frame");
    for (const int label : labels)
        Require(label >= 0 && label < int(states), "a label outside the states");
    // The phones are said in order, each of them once.
    const auto spoken = static_cast<int>(std::count_if(
        phones.begin(), phones.end(), [](int label) { return label != Host::kPauseMayFall; }));
    int last = -1;
    for (const int phone : phoneOf) {
        if (phone < 0) continue;
        Require(phone < spoken && (phone == last || phone == last + 1), "a phone out of order");
        last = phone;
    }
    const std::vector<float> scores(frames * states, 0.5f);
    Require(Host::TranscriptScores(scores, states, labels, said, silence).size() == scores.size(),
            "mouth scores of another shape");
    for (const Host::ShapeSet set : {Host::ShapeSet::Cartoon, Host::ShapeSet::Visemes}) {
        const std::vector<int> shapes = Host::TranscriptShapes(ipa, set, phoneOf);
        Require(shapes.size() == frames, "not one shape per frame");
        for (const int shape : shapes)
            Require(shape >= -1 && shape < int(Host::ShapeNames(set).size()), "an unknown shape");
    }
    // Its words named: by themselves, one name each; by the bytes read as written words and
    // their space-separated pieces as each one's phones, one name per word or none.
    const std::vector<std::string> words = Host::IpaWords(ipa);
    Require(words.empty() || Host::WrittenWordNames(ipa, words, words) == words,
            "words not named by themselves");
    const std::vector<std::string> written = Host::SplitWords(ipa);
    for (const std::string& word : written)
        Require(!word.empty() && word.find(' ') == std::string::npos, "a written word of nothing");
    std::vector<std::string> pieces;
    for (size_t at = 0; pieces.size() < written.size();) {
        const size_t space = ipa.find(' ', at);
        pieces.push_back(
            ipa.substr(at, space == std::string::npos ? std::string::npos : space - at));
        at = space == std::string::npos ? ipa.size() : space + 1;
    }
    const std::vector<std::string> named = Host::WrittenWordNames(ipa, written, pieces);
    Require(named.empty() || named.size() == words.size(), "not one name per word");
    // What is said of the bytes as a line: the line in order, less what is left out, and a space
    // where a word had none before it; no asterisk, and no line break lost.
    const std::string aloud = Host::SpokenText(ipa);
    size_t from = 0;
    for (const char c : aloud) {
        const size_t found = ipa.find(c, from);
        Require(found != std::string::npos || c == ' ', "said what the line does not hold");
        if (found != std::string::npos && (c != ' ' || found == from)) from = found + 1;
    }
    Require(aloud.find('*') == std::string::npos, "an asterisk said");
    Require(
        std::count(aloud.begin(), aloud.end(), '\n') == std::count(ipa.begin(), ipa.end(), '\n'),
        "a line break lost");
    // Without its speakers, each line is a tail of itself with only the escapes' backslashes out.
    const std::string unnamed = Host::WithoutSpeakerNames(ipa);
    Require(std::count(unnamed.begin(), unnamed.end(), '\n') ==
                std::count(ipa.begin(), ipa.end(), '\n'),
            "a line break lost without speakers");
    Require(unnamed.size() <= ipa.size(), "more than the line without speakers");
    return 0;
}

// A baked line's files as an animator may have left them: read as cues of either set, as curves
// and as a rig, each refused naming the file or accepted and played back in range.
int BakedLine(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::string origin = "line.json";
    for (const Host::ShapeSet set : {Host::ShapeSet::Cartoon, Host::ShapeSet::Visemes}) {
        try {
            const Host::CueTrack track = Host::ParseCueTrack(text, set, origin);
            const int shapes = static_cast<int>(Host::ShapeNames(set).size());
            double before = 0;
            for (const Host::MouthCue& cue : track.cues) {
                Require(cue.start >= before && cue.end > cue.start, "cues out of order");
                Require(cue.shape >= 0 && cue.shape < shapes, "a cue of an unknown shape");
                Require(Host::ShapeAt(track, cue.start) == cue.shape,
                        "a cue not shown at its start");
                before = cue.end;
            }
            Require(Host::ShapeAt(track, -1.0) == Host::RestShape(set), "a shape before the line");
        } catch (const Host::CueError& error) {
            RequireNamed(error, origin);
        }
    }
    try {
        const Host::ShapeCurves curves = Host::ParseShapeCurves(text, origin);
        const size_t shapes = Host::ShapeNames(curves.set).size();
        Require(curves.weights.size() == curves.FrameCount() * shapes, "curves of another shape");
        std::vector<float> weights(shapes);
        for (const double seconds : {-1.0, 0.0, 0.37, 1e9, std::nan("")}) {
            const float jaw = Host::SampleCurves(curves, seconds, weights);
            Require(std::isfinite(jaw), "a jaw that is not a number");
            for (const float weight : weights)
                Require(std::isfinite(weight), "a weight that is not a number");
        }
    } catch (const Host::CueError& error) {
        RequireNamed(error, origin);
    }
    // The same bytes as a rig: one mixes curves of its set into values of 0 ... 1.
    try {
        const Host::Rig rig = Host::ParseRig(text, origin);
        Require(!rig.curves.empty() && rig.factors.size() == rig.curves.size(), "a rig of nothing");
        Host::ShapeCurves curves;
        curves.set = rig.set;
        curves.weights.assign(Host::ShapeNames(rig.set).size(), 1.0f);
        curves.jaw = {1.0f};
        for (const float value : Host::RigValues(rig, curves))
            Require(value >= 0.0f && value <= 1.0f, "a rig's value outside 0 ... 1");
    } catch (const Host::CueError& error) {
        RequireNamed(error, origin);
    }
    return 0;
}

}  // namespace Vocetta::Fuzz
