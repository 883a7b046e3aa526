// The native half of the Python package `vocetta` (vocetta/__init__.py is the other): the SDK's
// profile loader, streaming analyzer, mouth shapes and cues, and the tool's own decoding and
// labelling, over numpy arrays.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "analysis.hpp"
#include "audio.hpp"
#include "error.hpp"
#include "labels.hpp"
#include "output.hpp"
#include "timeline.hpp"
#include "transcript.hpp"
#include "vocetta/analyzer.hpp"
#include "vocetta/cues.hpp"
#include "vocetta/library.hpp"
#include "vocetta/mouth_shapes.hpp"
#include "vocetta/noise_cleaner.hpp"
#include "vocetta/profile.hpp"
#include "vocetta/rig.hpp"
#include "vocetta/ring.hpp"
#include "vocetta/text.hpp"
#include "vocetta/transcript.hpp"

namespace py = pybind11;

namespace Vocetta::Python {
namespace {

// A transcript that cannot be phonemised or aligned.
class TranscriptError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// What `work` gives, its tool error (a phonemiser's or a transcript's, or a voice the tool
// refuses) raised as TranscriptError.
template <typename Work>
auto AsTranscript(const Work& work) {
    try {
        return work();
    } catch (const std::runtime_error& error) {
        throw TranscriptError(error.what());
    }
}

using Host::Profile;
using Samples = py::array_t<float, py::array::c_style | py::array::forcecast>;

// The library is initialised once per process, so one is opened and kept until exit.
std::unique_ptr<Host::Library>& OpenedLibrary() {
    static std::unique_ptr<Host::Library> library;
    return library;
}

const Host::Library& OpenLibrary(const std::string& path) {
    std::unique_ptr<Host::Library>& library = OpenedLibrary();
    if (!library) {
        library = std::make_unique<Host::Library>(path);
    } else if (library->path() != path) {
        throw Host::LibraryError(path + ": this process already uses " + library->path());
    }
    return *library;
}

const Host::Library& Library() {
    if (!OpenedLibrary()) OpenLibrary(Host::Library::DefaultPath());
    return *OpenedLibrary();
}

// Samples between frames for a hop in milliseconds, rounded as the tool rounds it.
int HopSamples(double hopMs, int sampleRate) {
    if (!(hopMs > 0) || !std::isfinite(hopMs)) {
        throw py::value_error("hop_ms must be a positive number of milliseconds");
    }
    return std::max(1, static_cast<int>(std::lround(hopMs / 1000.0 * sampleRate)));
}

// Rows [first, rows) of a table of `columns` values per row.
template <typename T>
py::array_t<T> ToArray(const std::vector<T>& values, size_t first, size_t rows, size_t columns) {
    py::array_t<T> array(
        {static_cast<py::ssize_t>(rows - first), static_cast<py::ssize_t>(columns)});
    const auto begin = values.begin() + static_cast<std::ptrdiff_t>(first * columns);
    std::copy(begin, begin + static_cast<std::ptrdiff_t>((rows - first) * columns),
              array.mutable_data());
    return array;
}

// Elements [first, last) as a one-dimensional array.
template <typename T>
py::array_t<T> Slice(const std::vector<T>& values, size_t first, size_t last) {
    py::array_t<T> array(static_cast<py::ssize_t>(last - first));
    std::copy(values.begin() + static_cast<std::ptrdiff_t>(first),
              values.begin() + static_cast<std::ptrdiff_t>(last), array.mutable_data());
    return array;
}

template <typename T>
py::array_t<T> ToArray(const std::vector<T>& values) {
    return Slice(values, 0, values.size());
}

// A mouth driven frame by frame: the SDK's mouth-shape layer over a profile's phonemes. An
// analyzer drives it while it pushes without the interpreter's lock, so that another Python
// thread may read it meanwhile: every step and every read holds the mouth's own lock.
class Mouth {
  public:
    Mouth(const Profile& profile, const std::string& shapes, double attackSeconds,
          double releaseSeconds, double sharpness, float silenceVolume, float loudVolume,
          double closedMargin, double lipMargin, double closedDipDb, double lipDipDb,
          double dipWindowSeconds)
        : mouth_(Map(profile, shapes),
                 Host::MouthSettings{attackSeconds, releaseSeconds, sharpness, silenceVolume,
                                     loudVolume, closedMargin, lipMargin, closedDipDb, lipDipDb,
                                     dipWindowSeconds}) {}

    const Host::ShapeMap& map() const { return mouth_.Map(); }  // never changes
    size_t phonemes() const { return static_cast<size_t>(map().phonemes); }
    size_t shapeCount() const { return static_cast<size_t>(map().shapes); }

    // One frame; what it gave is appended to `weights`, `jaw` and `dominant` when they are given.
    // The gate a stream's level gives (LiveLabels::MouthGate), as the mouth's rest level from
    // the next frame on; 0 returns it to the levels it was made with.
    void FollowGate(float gate) {
        const std::lock_guard<std::mutex> hold(lock_);
        mouth_.FollowGate(gate);
    }

    void SetVolumes(float silenceVolume, float loudVolume) {
        const std::lock_guard<std::mutex> hold(lock_);
        mouth_.SetVolumes(silenceVolume, loudVolume);
    }

    void Step(std::span<const float> scores, float volume, double elapsedSeconds, bool silence,
              std::vector<float>* weights = nullptr, std::vector<float>* jaw = nullptr,
              std::vector<int32_t>* dominant = nullptr, int shape = -1) {
        const std::lock_guard<std::mutex> hold(lock_);
        mouth_.Update(scores, volume, elapsedSeconds, silence, shape);
        if (weights != nullptr) {
            weights->insert(weights->end(), mouth_.Weights().begin(), mouth_.Weights().end());
            jaw->push_back(mouth_.Jaw());
            dominant->push_back(mouth_.Dominant());
        }
    }

    void Update(const py::array_t<float, py::array::c_style | py::array::forcecast>& scores,
                float volume, double elapsedSeconds, bool silence, int shape) {
        if (static_cast<size_t>(scores.size()) != phonemes()) {
            throw py::value_error("scores must hold one value per phoneme (" +
                                  std::to_string(phonemes()) + ")");
        }
        if (shape < -1 || shape >= map().shapes) {
            throw py::value_error("shape must be one of the set's " + std::to_string(map().shapes) +
                                  " shapes, or -1");
        }
        Step({scores.data(), phonemes()}, volume, elapsedSeconds, silence, nullptr, nullptr,
             nullptr, shape);
    }

    // Every frame of a recording in turn: (weights, jaw, dominant shape) per frame.
    py::tuple Run(const py::array_t<float, py::array::c_style | py::array::forcecast>& scores,
                  const py::array_t<float, py::array::forcecast>& volume, double elapsedSeconds) {
        const auto frames = static_cast<size_t>(volume.size());
        if (static_cast<size_t>(scores.size()) != frames * phonemes()) {
            throw py::value_error("scores must be frames x phonemes, volume one per frame");
        }
        std::vector<float> weights, jaw;
        std::vector<int32_t> dominant;
        for (size_t frame = 0; frame < frames; ++frame) {
            Step({scores.data() + frame * phonemes(), phonemes()}, volume.data()[frame],
                 elapsedSeconds, false, &weights, &jaw, &dominant);
        }
        return py::make_tuple(ToArray(weights, 0, frames, shapeCount()), ToArray(jaw),
                              ToArray(dominant));
    }

    void Reset() {
        const std::lock_guard<std::mutex> hold(lock_);
        mouth_.Reset();
    }
    py::array_t<float> Weights() const { return Read(mouth_.Weights()); }
    py::array_t<float> Target() const { return Read(mouth_.Target()); }
    float Jaw() const {
        const std::lock_guard<std::mutex> hold(lock_);
        return mouth_.Jaw();
    }
    int Dominant() const {
        const std::lock_guard<std::mutex> hold(lock_);
        return mouth_.Dominant();
    }

  private:
    py::array_t<float> Read(std::span<const float> values) const {
        std::vector<float> copy;
        {
            const std::lock_guard<std::mutex> hold(lock_);
            copy.assign(values.begin(), values.end());
        }
        return ToArray(copy);
    }

    static Host::ShapeMap Map(const Profile& profile, const std::string& shapes) {
        return Host::ProfileShapeMap(profile, Host::ParseShapeSet(shapes), "profile");
    }

    mutable std::mutex lock_;
    Host::MouthShapes mouth_;
};

// Every frame an analyzer has given so far, labelled as it came (a fixed gate or one under the
// level heard so far, then each frame's own best phoneme or the best path's so far), and the
// mouth it drove when it has one.
class Analyzer {
  public:
    Analyzer(std::shared_ptr<const Profile> profile, int sampleRate, double hopMs,
             std::optional<double> silenceDb, std::optional<double> gateDb, double levelWindow,
             bool smoothing, std::optional<double> switchCost, double lagMs,
             std::shared_ptr<Mouth> mouth, bool cleanNoise)
        : profile_(std::move(profile)),
          analyzer_(Library().entries(), *profile_, sampleRate, HopSamples(hopMs, sampleRate)),
          stream_(*profile_,
                  LabelSettingsFor(silenceDb, gateDb, levelWindow, smoothing, switchCost),
                  double(analyzer_.sampleRate()) / analyzer_.hop(), LagFrames(lagMs, analyzer_)),
          mouth_(std::move(mouth)) {
        if (mouth_ && mouth_->phonemes() != profile_->phonemes.size()) {
            throw py::value_error("the mouth was made for another profile");
        }
        analysis_.phonemes = static_cast<int>(profile_->phonemes.size());
        analysis_.coefficients = profile_->coefficients;
        if (cleanNoise) cleaner_.emplace(sampleRate);
    }

    size_t Push(const Samples& samples) {
        if (samples.ndim() != 1) throw py::value_error("samples must be a one-dimensional array");
        const size_t before = ready();
        {
            py::gil_scoped_release unlocked;
            const auto count = static_cast<size_t>(samples.size());
            pushed_ += count;
            if (cleaner_) {
                cleaned_.clear();
                cleaner_->Push(samples.data(), count, cleaned_);
                analyzer_.Push(cleaned_.data(), cleaned_.size(), Keep());
            } else {
                analyzer_.Push(samples.data(), count, Keep());
            }
        }
        return ready() - before;
    }

    // Ends the stream, and with it the wait: the last frames are labelled from what came.
    size_t Finish() {
        const size_t before = ready();
        if (cleaner_) {
            cleaned_.clear();
            cleaner_->Finish(cleaned_);
            analyzer_.Push(cleaned_.data(), cleaned_.size(), Keep());
        }
        analyzer_.Finish(Keep());
        const std::vector<std::string> last = stream_.Finish();
        for (size_t i = 0; i < last.size(); ++i)
            if (analysis_.FrameCount() - last.size() + i == labels_.size())
                labels_.push_back(last[i]);
        return ready() - before;
    }

    const Host::Analyzer& analyzer() const { return analyzer_; }
    const Profile& profile() const { return *profile_; }
    const std::shared_ptr<Mouth>& mouth() const { return mouth_; }
    size_t count() const { return analysis_.FrameCount(); }
    // Samples pushed, whether or not the cleaner has let them through yet.
    size_t pushed() const { return pushed_; }
    // The frames whose labels are known: all but the lag's newest while the stream runs.
    size_t ready() const { return labels_.size(); }
    // Frames [first, ready): time, volume, best, scores, mfcc, labels, and weights, jaw and
    // dominant shape when there is a mouth (else None). A stream's reader asks for the new ones
    // only, so that reading stays proportional to what arrived.
    py::tuple Frames(size_t first) const {
        const size_t count = ready();
        first = std::min(first, count);
        std::vector<double> time;
        std::vector<float> volume;
        std::vector<int32_t> best;
        for (size_t i = first; i < count; ++i) {
            time.push_back(analysis_.frames[i].time);
            volume.push_back(analysis_.frames[i].volume);
            best.push_back(analysis_.frames[i].best);
        }
        const auto phonemes = static_cast<size_t>(analysis_.phonemes);
        const auto coefficients = static_cast<size_t>(analysis_.coefficients);
        py::object weights = py::none(), jaw = py::none(), dominant = py::none();
        if (mouth_) {
            weights = ToArray(weights_, first, count, mouth_->shapeCount());
            jaw = Slice(jaw_, first, count);
            dominant = Slice(dominant_, first, count);
        }
        return py::make_tuple(
            ToArray(time), ToArray(volume), ToArray(best),
            ToArray(analysis_.scores, first, count, phonemes),
            ToArray(analysis_.mfcc, first, count, coefficients),
            std::vector<std::string>(labels_.begin() + static_cast<long>(first), labels_.end()),
            weights, jaw, dominant);
    }

  private:
    static size_t LagFrames(double lagMs, const Host::Analyzer& analyzer) {
        if (!(lagMs >= 0 && lagMs <= 10000)) throw py::value_error("lag_ms must be 0 to 10000");
        return Tool::StreamLagFrames(lagMs, analyzer.hop(), analyzer.sampleRate());
    }

    // A fixed gate, else one under the level (Host::LevelGate), else none: a gate at no volume.
    static Tool::LabelSettings LabelSettingsFor(std::optional<double> silenceDb,
                                                std::optional<double> gateDb, double levelWindow,
                                                bool smoothing, std::optional<double> switchCost) {
        Tool::LabelSettings settings;
        if (silenceDb) {
            settings.absoluteDb = *silenceDb;
        } else if (gateDb) {  // LevelGate refuses values out of range (ValueError)
            settings.gateDb = *gateDb;
            settings.levelWindowSeconds = levelWindow;
        } else {
            settings.absoluteDb = -std::numeric_limits<double>::infinity();
        }
        settings.smoothing = smoothing;
        if (switchCost) settings.switchCost = static_cast<float>(*switchCost);
        return settings;
    }

    Host::Analyzer::Callback Keep() {
        return [this](const Host::AnalyzerFrame& frame) {
            analysis_.Append(frame);
            const size_t index = analysis_.FrameCount() - 1;
            // A label comes the lag's frames late; after Finish has labelled the last frames,
            // frames pushed later wait until the labels reach them again.
            const std::string* label = stream_.Next(analysis_, index);
            if (label && index - stream_.Lag() == labels_.size()) labels_.push_back(*label);
            if (mouth_ && stream_.Live().FollowsLevel())
                mouth_->FollowGate(stream_.Live().MouthGate());
            if (mouth_)
                mouth_->Step(frame.scores, frame.volume, elapsed_, false, &weights_, &jaw_,
                             &dominant_);
        };
    }

    std::shared_ptr<const Profile> profile_;
    Host::Analyzer analyzer_;
    Tool::StreamLabels stream_;
    std::shared_ptr<Mouth> mouth_;
    double elapsed_ = static_cast<double>(analyzer_.hop()) / analyzer_.sampleRate();
    Tool::Analysis analysis_;
    std::vector<std::string> labels_;
    std::vector<float> weights_, jaw_;
    std::vector<int32_t> dominant_;
    std::optional<Host::NoiseCleaner> cleaner_;  // with clean_noise, before the analyzer
    std::vector<float> cleaned_;
    size_t pushed_ = 0;
};

// What a recording says, as the tool's labels take it.
const std::string* Text(const std::optional<std::string>& transcript) {
    return transcript ? &*transcript : nullptr;
}

// Labels aligned to a transcript: a line too long to align is the transcript's problem.
template <typename Label>
Tool::FrameLabels Aligned(const Label& label) {
    try {
        return label();
    } catch (const Tool::ToolError& error) {
        throw TranscriptError(error.what());
    }
}

// The phoneme of every frame exactly as `vocetta analyze` labels it, and with a transcript its
// phones where they are said, as `--phones` writes them ((start, end, phone, word) each, None
// when the recording is too short to say them all).
py::tuple LabelFrames(const Profile& profile, const py::array_t<double, py::array::forcecast>& time,
                      double seconds, const py::array_t<float, py::array::forcecast>& volume,
                      const py::array_t<int32_t, py::array::forcecast>& best,
                      const py::array_t<float, py::array::forcecast>& scores, double gateDb,
                      std::optional<double> silenceDb, bool smoothing, double switchCost,
                      const std::optional<std::string>& transcript, int hop, int sampleRate) {
    const auto frames = static_cast<size_t>(volume.size());
    const size_t phonemes = profile.phonemes.size();
    if (static_cast<size_t>(best.size()) != frames || static_cast<size_t>(time.size()) != frames ||
        static_cast<size_t>(scores.size()) != frames * phonemes) {
        throw py::value_error("time, volume, best and scores must describe the same frames");
    }
    Tool::Analysis analysis;
    analysis.hop = hop;  // how long a transcript's phones last at the least
    analysis.sampleRate = sampleRate;
    analysis.seconds = seconds;
    analysis.phonemes = static_cast<int>(phonemes);
    analysis.frames.resize(frames);
    for (size_t i = 0; i < frames; ++i) {
        analysis.frames[i].time = time.data()[i];
        analysis.frames[i].volume = volume.data()[i];
        analysis.frames[i].best = best.data()[i];
    }
    analysis.scores.assign(scores.data(), scores.data() + frames * phonemes);
    Tool::LabelSettings settings;
    settings.absoluteDb = silenceDb;
    settings.gateDb = gateDb;
    settings.smoothing = smoothing;
    settings.switchCost = static_cast<float>(switchCost);
    const Tool::FrameLabels labels =
        Aligned([&] { return Tool::LabelFrames(profile, analysis, settings, Text(transcript)); });
    std::vector<std::string> names;
    names.reserve(frames);
    for (size_t i = 0; i < frames; ++i)
        names.push_back(labels.Name(i));
    if (!transcript) return py::make_tuple(names, py::none());
    std::vector<Tool::PhoneSegment> said;
    try {
        said = Tool::PhoneSegments(labels, analysis);
    } catch (const Tool::ToolError&) {
        return py::make_tuple(names, py::none());
    }
    py::list phones;
    for (const Tool::PhoneSegment& phone : said)
        phones.append(py::make_tuple(phone.start, phone.end, phone.phone, phone.word));
    return py::make_tuple(names, phones);
}

// The tool's mouth options (analyze --cues, in milliseconds), checked as its command line checks
// them.
Host::CueArguments CueArguments(const std::string& shapes, double minHoldMs, double closureMs,
                                double attackMs, double releaseMs, double sharpness,
                                double closedMargin, double lipMargin, double openPriority,
                                double closedDipDb, double lipDipDb, double dipWindowMs) {
    const auto check = [](const char* name, double value, double low, double high) {
        if (!(value >= low && value <= high)) {
            throw py::value_error(std::string(name) + " must lie between " +
                                  Host::FormatNumber(low) + " and " + Host::FormatNumber(high));
        }
    };
    check("min_hold_ms", minHoldMs, 0, 10000);
    check("closure_ms", closureMs, 0, 10000);
    check("attack_ms", attackMs, 0, 10000);
    check("release_ms", releaseMs, 0, 10000);
    check("sharpness", sharpness, 1, 100);
    check("closed_margin", closedMargin, 1, 1000);
    check("lip_margin", lipMargin, 1, 1000);
    check("open_priority", openPriority, 1, 100);
    check("closed_dip_db", closedDipDb, 0, 200);
    check("lip_dip_db", lipDipDb, 0, 200);
    check("dip_window_ms", dipWindowMs, 0, 10000);
    (void)Host::ParseShapeSet(shapes);  // the set is named again when the cues are made
    return {shapes,       minHoldMs, closureMs,    attackMs,    releaseMs, sharpness,
            closedMargin, lipMargin, openPriority, closedDipDb, lipDipDb,  dipWindowMs};
}

py::tuple CueArrays(const std::vector<Host::MouthCue>& cues) {
    std::vector<double> starts, ends;
    std::vector<int32_t> shapes;
    for (const Host::MouthCue& cue : cues) {
        starts.push_back(cue.start);
        ends.push_back(cue.end);
        shapes.push_back(cue.shape);
    }
    return py::make_tuple(ToArray(starts), ToArray(ends), ToArray(shapes));
}

// What the mouth of a whole recording (`length` samples) is made from, as `vocetta analyze
// --cues` and `--curves` make it: the frames, the frames its labels call silence, and the
// settings with the mouth resting below the recording's silence gate. It views the caller's time
// and volume arrays, so it lives within the call that passed them.
struct RecordingMouth {
    Tool::Analysis analysis;
    Host::CueTrackSettings settings;
    Host::ShapeMap map;
    std::span<const double> times;
    std::span<const float> volumes;
    std::vector<unsigned char> silence;
    std::vector<int> shapes;  // the consonants' shapes a transcript gives
    double seconds = 0;

    Host::CueFrames Frames() const {
        return {times,           volumes,
                analysis.scores, static_cast<double>(analysis.hop) / analysis.sampleRate,
                silence,         shapes};
    }
};

RecordingMouth MouthOfRecording(const Profile& profile,
                                const py::array_t<double, py::array::forcecast>& time,
                                const py::array_t<float, py::array::forcecast>& volume,
                                const py::array_t<int32_t, py::array::forcecast>& best,
                                const py::array_t<float, py::array::forcecast>& scores, int hop,
                                int sampleRate, size_t length, double gateDb,
                                std::optional<double> silenceDb,
                                const Host::CueArguments& arguments,
                                const std::optional<std::string>& transcript) {
    const auto frames = static_cast<size_t>(volume.size());
    const size_t phonemes = profile.phonemes.size();
    if (static_cast<size_t>(time.size()) != frames || static_cast<size_t>(best.size()) != frames ||
        static_cast<size_t>(scores.size()) != frames * phonemes) {
        throw py::value_error("time, volume, best and scores must describe the same frames");
    }
    RecordingMouth mouth;
    Tool::Analysis& analysis = mouth.analysis;
    analysis.sampleRate = sampleRate;
    analysis.hop = hop;
    analysis.phonemes = static_cast<int>(phonemes);
    for (size_t i = 0; i < frames; ++i)
        analysis.frames.push_back({time.data()[i], volume.data()[i], best.data()[i]});
    analysis.scores.assign(scores.data(), scores.data() + frames * phonemes);
    mouth.times = {time.data(), frames};
    mouth.volumes = {volume.data(), frames};
    Tool::LabelSettings labelling;
    labelling.absoluteDb = silenceDb;
    labelling.gateDb = gateDb;
    const Tool::FrameLabels labels =
        Aligned([&] { return Tool::LabelFrames(profile, analysis, labelling, Text(transcript)); });
    mouth.silence = Tool::SilenceMarks(labels);
    std::vector<float> aligned;  // with a transcript, what the mouth reads from here on
    Tool::MouthScores(labels, analysis, aligned);
    if (!aligned.empty()) analysis.scores = std::move(aligned);
    mouth.settings = Host::CueTrackSettingsFrom(
        arguments, Tool::MouthSilenceVolume(labels, analysis, labelling));
    mouth.map = Host::ProfileShapeMap(profile, mouth.settings.set, "profile");
    mouth.shapes = Tool::MouthShapesSaid(labels, mouth.settings.set);
    Tool::Recording recording;
    recording.sampleRate = sampleRate;
    recording.length = length;
    mouth.seconds = recording.Seconds();
    return mouth;
}

// The cues of a whole recording exactly as `vocetta analyze --cues` makes them from its frames.
py::tuple RecordingCues(const Profile& profile,
                        const py::array_t<double, py::array::forcecast>& time,
                        const py::array_t<float, py::array::forcecast>& volume,
                        const py::array_t<int32_t, py::array::forcecast>& best,
                        const py::array_t<float, py::array::forcecast>& scores, int hop,
                        int sampleRate, size_t length, double gateDb,
                        std::optional<double> silenceDb, const Host::CueArguments& arguments,
                        const std::optional<std::string>& transcript) {
    const RecordingMouth mouth =
        MouthOfRecording(profile, time, volume, best, scores, hop, sampleRate, length, gateDb,
                         silenceDb, arguments, transcript);
    return CueArrays(
        Host::BuildCueTrack(mouth.map, mouth.settings, mouth.Frames(), "", mouth.seconds).cues);
}

// The weights (frames x shapes) and jaw of every animation frame at `fps`, exactly as `vocetta
// analyze --curves` makes them from the frames.
py::tuple RecordingCurves(const Profile& profile,
                          const py::array_t<double, py::array::forcecast>& time,
                          const py::array_t<float, py::array::forcecast>& volume,
                          const py::array_t<int32_t, py::array::forcecast>& best,
                          const py::array_t<float, py::array::forcecast>& scores, int hop,
                          int sampleRate, size_t length, double gateDb,
                          std::optional<double> silenceDb, const Host::CueArguments& arguments,
                          int fps, const std::optional<std::string>& transcript) {
    if (fps < 1 || fps > 1000) throw py::value_error("fps must lie between 1 and 1000");
    const RecordingMouth mouth =
        MouthOfRecording(profile, time, volume, best, scores, hop, sampleRate, length, gateDb,
                         silenceDb, arguments, transcript);
    const Host::ShapeCurves curves = Host::BuildShapeCurves(mouth.map, mouth.settings.mouth,
                                                            mouth.Frames(), "", mouth.seconds, fps);
    return py::make_tuple(
        ToArray(curves.weights, 0, curves.FrameCount(), static_cast<size_t>(mouth.map.shapes)),
        ToArray(curves.jaw));
}

// Cues from a shape per frame, with the tool's closure rule and hold.
py::tuple BuildCues(const py::array_t<double, py::array::forcecast>& times,
                    const py::array_t<int32_t, py::array::forcecast>& shapes, double duration,
                    const Host::CueArguments& arguments, double resolutionMs) {
    if (times.size() != shapes.size()) {
        throw py::value_error("times and shapes must have one entry per frame");
    }
    if (!(resolutionMs > 0) || !std::isfinite(resolutionMs) || !std::isfinite(duration)) {
        throw py::value_error("resolution_ms must be above 0 and duration a number of seconds");
    }
    Host::CueTrackSettings options = Host::CueTrackSettingsFrom(arguments, 0.01f);
    const auto count = static_cast<int32_t>(Host::ShapeNames(options.set).size());
    for (py::ssize_t i = 0; i < shapes.size(); ++i) {
        if (shapes.data()[i] < 0 || shapes.data()[i] >= count) {
            throw py::value_error("shape " + std::to_string(shapes.data()[i]) + " of frame " +
                                  std::to_string(i) + " is not one of the set's " +
                                  std::to_string(count));
        }
    }
    options.cues.resolutionSeconds = resolutionMs / 1000.0;
    return CueArrays(Host::BuildCues({times.data(), static_cast<size_t>(times.size())},
                                     {shapes.data(), static_cast<size_t>(shapes.size())}, duration,
                                     Host::RestShape(options.set), options.cues));
}

// Cues as the text of one of the tool's cue formats.
std::string FormatCues(const std::string& shapes, const std::string& soundFile, double duration,
                       const py::array_t<double, py::array::forcecast>& starts,
                       const py::array_t<double, py::array::forcecast>& ends,
                       const py::array_t<int32_t, py::array::forcecast>& values,
                       const std::string& format, int fps, bool keyframes) {
    Host::CueTrack track;
    track.soundFile = soundFile;
    track.duration = duration;
    track.set = Host::ParseShapeSet(shapes);
    const auto count = static_cast<int32_t>(Host::ShapeNames(track.set).size());
    for (py::ssize_t i = 0; i < values.size(); ++i) {
        if (values.data()[i] < 0 || values.data()[i] >= count) {
            throw py::value_error("cue " + std::to_string(i) + " has no shape of the set");
        }
        track.cues.push_back({starts.data()[i], ends.data()[i], values.data()[i]});
    }
    try {
        return Host::FormatCues(track, Host::ParseCueFormat(format),
                                Host::CueLayout{fps, keyframes});
    } catch (const Host::CueError& error) {
        throw py::value_error(error.what());
    }
}

// The SDK's curves of the Python ones.
Host::ShapeCurves CurvesOf(const std::string& shapes, const std::string& soundFile, double duration,
                           int fps, const py::array_t<float, py::array::forcecast>& weights,
                           const py::array_t<float, py::array::forcecast>& jaw) {
    Host::ShapeCurves curves;
    curves.soundFile = soundFile;
    curves.duration = duration;
    curves.set = Host::ParseShapeSet(shapes);
    curves.fps = fps;
    const size_t count = Host::ShapeNames(curves.set).size();
    if (weights.ndim() != 2 || static_cast<size_t>(weights.shape(1)) != count ||
        weights.shape(0) != jaw.size()) {
        throw py::value_error("weights must hold a row of " + std::to_string(count) +
                              " shapes for each of the jaw's frames");
    }
    curves.weights.assign(weights.data(), weights.data() + weights.size());
    curves.jaw.assign(jaw.data(), jaw.data() + jaw.size());
    return curves;
}

// Curves as the text of one of the tool's curve formats, or a rig's curves with `rig`.
std::string FormatCurves(const std::string& shapes, const std::string& soundFile, double duration,
                         int fps, const py::array_t<float, py::array::forcecast>& weights,
                         const py::array_t<float, py::array::forcecast>& jaw,
                         const std::string& format, const Host::Rig* rig) {
    const Host::ShapeCurves curves = CurvesOf(shapes, soundFile, duration, fps, weights, jaw);
    try {
        const Host::CurveFormat kind = Host::ParseCurveFormat(format);
        return rig ? Host::FormatRigCurves(curves, *rig, kind) : Host::FormatCurves(curves, kind);
    } catch (const Host::CueError& error) {
        throw py::value_error(error.what());
    }
}

// A rig's curves on the frames of the curves, frames x the rig's curves.
py::array_t<float> RigValues(const Host::Rig& rig, const std::string& shapes,
                             const py::array_t<float, py::array::forcecast>& weights,
                             const py::array_t<float, py::array::forcecast>& jaw) {
    const Host::ShapeCurves curves = CurvesOf(shapes, "", 0, 1, weights, jaw);
    return ToArray(Host::RigValues(rig, curves), 0, curves.FrameCount(), rig.curves.size());
}

// Writes `text` as the tool writes its outputs: whole or not at all. Naming the file in a call is
// asking for it, so a file already there is replaced, as Python's own writers do.
void WriteText(const std::string& path, const std::string& text) {
    try {
        Tool::WriteOutput(path, text, Tool::Existing::Replace);
    } catch (const Tool::ToolError& error) {
        PyErr_SetString(PyExc_OSError, error.what());
        throw py::error_already_set();
    }
}

py::tuple ReadAudio(const std::string& path) {
    Tool::Recording recording;
    {
        py::gil_scoped_release unlocked;
        recording = Tool::LoadRecording(path);
    }
    return py::make_tuple(ToArray(recording.samples), recording.sampleRate);
}

std::vector<std::string> PhonemeNames(const Profile& profile) {
    std::vector<std::string> names;
    for (const Host::Phoneme& phoneme : profile.phonemes)
        names.push_back(phoneme.name);
    return names;
}

}  // namespace
}  // namespace Vocetta::Python

PYBIND11_MODULE(_vocetta, module) {
    using namespace Vocetta;
    using Host::Profile;
    using Python::Analyzer;
    module.doc() = "libvocetta through its host SDK (use the package vocetta)";

    py::register_exception<Host::ProfileError>(module, "ProfileError", PyExc_ValueError);
    py::register_exception<Tool::ToolError>(module, "AudioError", PyExc_ValueError);
    py::register_exception<Host::LibraryError>(module, "LibraryError", PyExc_RuntimeError);
    py::register_exception<Host::ShapeError>(module, "ShapeError", PyExc_ValueError);
    py::register_exception<Python::TranscriptError>(module, "TranscriptError", PyExc_ValueError);
    py::register_exception<Host::CueError>(module, "CueError", PyExc_ValueError);

    module.def(
        "open_library", [](const std::string& path) { return Python::OpenLibrary(path).path(); },
        py::arg("path"), "Opens and initialises libvocetta at `path` (once per process).");
    module.def("default_library_path", &Host::Library::DefaultPath);

    py::class_<Profile, std::shared_ptr<Profile>>(module, "Profile")
        .def_property_readonly("phonemes", &Python::PhonemeNames)
        .def_readonly("target_sample_rate", &Profile::targetSampleRate)
        .def_readonly("mel_channels", &Profile::melChannels)
        .def_readonly("coefficients", &Profile::coefficients)
        .def_readonly("block_length", &Profile::blockLength)
        .def_property_readonly(
            "score_method", [](const Profile& p) { return Host::ScoreMethodName(p.scoreMethod); })
        .def_property_readonly("folding",
                               [](const Profile& p) { return Host::FoldingName(p.folding); })
        .def_property_readonly("means", [](const Profile& p) { return Python::ToArray(p.means); })
        .def_property_readonly(
            "standard_deviations",
            [](const Profile& p) { return Python::ToArray(p.standardDeviations); })
        .def("references",
             [](const Profile& p, const std::string& name) {
                 const int index = p.IndexOf(name);
                 if (index < 0) throw py::key_error(name);
                 const auto& rows = p.phonemes[static_cast<size_t>(index)].references;
                 std::vector<float> flat;
                 for (const auto& row : rows)
                     flat.insert(flat.end(), row.begin(), row.end());
                 return Python::ToArray(flat, 0, rows.size(), static_cast<size_t>(p.coefficients));
             })
        .def(
            "ring_length",
            [](const Profile& p, int sampleRate) {
                return Host::RingLength(p, sampleRate, "sample rate " + std::to_string(sampleRate));
            },
            py::arg("sample_rate"))
        .def("to_json", &Host::SerializeProfile)
        .def("__repr__", [](const Profile& p) {
            std::string names;
            for (const Host::Phoneme& phoneme : p.phonemes)
                names += (names.empty() ? "" : " ") + phoneme.name;
            return "<vocetta.Profile " + names + " at " + std::to_string(p.targetSampleRate) +
                   " Hz>";
        });

    module.def("default_profile", [] { return std::make_shared<Profile>(Host::DefaultProfile()); });
    module.def("load_profile", [](const std::string& path) {
        return std::make_shared<Profile>(Host::LoadProfile(path));
    });
    module.def(
        "parse_profile",
        [](const std::string& text, const std::string& origin) {
            return std::make_shared<Profile>(Host::ParseProfile(text, origin));
        },
        py::arg("text"), py::arg("origin") = "profile text");

    py::class_<Python::Mouth, std::shared_ptr<Python::Mouth>>(module, "MouthShapes")
        .def(py::init<const Profile&, const std::string&, double, double, double, float, float,
                      double, double, double, double, double>(),
             py::arg("profile"), py::arg("shapes"), py::arg("attack_seconds"),
             py::arg("release_seconds"), py::arg("sharpness"), py::arg("silence_volume"),
             py::arg("loud_volume"), py::arg("closed_margin"), py::arg("lip_margin"),
             py::arg("closed_dip_db"), py::arg("lip_dip_db"), py::arg("dip_window_seconds"))
        .def("update", &Python::Mouth::Update, py::arg("scores"), py::arg("volume"),
             py::arg("elapsed_seconds"), py::arg("silence") = false, py::arg("shape") = -1)
        .def("run", &Python::Mouth::Run, py::arg("scores"), py::arg("volume"),
             py::arg("elapsed_seconds"))
        .def("reset", &Python::Mouth::Reset)
        .def("set_volumes", &Python::Mouth::SetVolumes, py::arg("silence_volume"),
             py::arg("loud_volume"))
        .def_property_readonly(
            "shapes",
            [](const Python::Mouth& m) { return std::string(Host::ShapeSetName(m.map().set)); })
        .def_property_readonly("weights", &Python::Mouth::Weights)
        .def_property_readonly("target", &Python::Mouth::Target)
        .def_property_readonly("jaw", &Python::Mouth::Jaw)
        .def_property_readonly("dominant", &Python::Mouth::Dominant)
        .def_property_readonly("map", [](const Python::Mouth& m) {
            return Python::ToArray(m.map().weights, 0, m.phonemes(), m.shapeCount());
        });

    py::class_<Analyzer>(module, "Analyzer")
        .def(py::init<std::shared_ptr<const Profile>, int, double, std::optional<double>,
                      std::optional<double>, double, bool, std::optional<double>, double,
                      std::shared_ptr<Python::Mouth>, bool>(),
             py::arg("profile"), py::arg("sample_rate"), py::arg("hop_ms"), py::arg("silence_db"),
             py::arg("gate_db"), py::arg("level_window"), py::arg("smoothing"),
             py::arg("switch_cost"), py::arg("lag_ms"), py::arg("mouth"), py::arg("clean_noise"))
        .def("push", &Analyzer::Push, py::arg("samples"))
        .def("finish", &Analyzer::Finish)
        .def_property_readonly("profile", [](const Analyzer& a) { return a.profile(); })
        .def_property_readonly("mouth", &Analyzer::mouth)
        .def_property_readonly("sample_rate",
                               [](const Analyzer& a) { return a.analyzer().sampleRate(); })
        .def_property_readonly("ring_length",
                               [](const Analyzer& a) { return a.analyzer().ringLength(); })
        .def_property_readonly("hop", [](const Analyzer& a) { return a.analyzer().hop(); })
        .def_property_readonly("pushed", &Analyzer::pushed)
        .def_property_readonly("count", &Analyzer::count)
        .def_property_readonly("ready", &Analyzer::ready)
        .def("frames", &Analyzer::Frames, py::arg("first") = 0);

    module.def("default_stream_lag_ms", [] { return Tool::kDefaultStreamLagMs; });
    module.def("default_level_window", [] { return Tool::kDefaultLevelWindowSeconds; });
    module.def("shape_names", [](const std::string& shapes) {
        return Host::ShapeNames(Host::ParseShapeSet(shapes));
    });
    module.def("rest_shape", [](const std::string& shapes) {
        return Host::RestShape(Host::ParseShapeSet(shapes));
    });
    // The defaults of a real-time mouth (the SDK's) and of the tool's cues.
    module.def("mouth_defaults", [] {
        const Host::MouthSettings settings;
        py::dict defaults;
        defaults["attack_ms"] = settings.attackSeconds * 1000.0;
        defaults["release_ms"] = settings.releaseSeconds * 1000.0;
        defaults["sharpness"] = settings.sharpness;
        defaults["silence_volume"] = settings.silenceVolume;
        defaults["loud_volume"] = settings.loudVolume;
        defaults["closed_margin"] = settings.closedMargin;
        defaults["lip_margin"] = settings.lipMargin;
        defaults["closed_dip_db"] = settings.closedDipDb;
        defaults["lip_dip_db"] = settings.lipDipDb;
        defaults["dip_window_ms"] = settings.dipWindowSeconds * 1000.0;
        return defaults;
    });
    module.def("cue_defaults", [] {
        const Host::CueArguments arguments;
        py::dict defaults;
        defaults["shapes"] = arguments.shapes;
        defaults["min_hold_ms"] = arguments.minHoldMs;
        defaults["closure_ms"] = arguments.closureMs;
        defaults["attack_ms"] = arguments.attackMs;
        defaults["release_ms"] = arguments.releaseMs;
        defaults["sharpness"] = arguments.sharpness;
        defaults["closed_margin"] = arguments.closedMargin;
        defaults["lip_margin"] = arguments.lipMargin;
        defaults["open_priority"] = arguments.openPriority;
        defaults["closed_dip_db"] = arguments.closedDipDb;
        defaults["lip_dip_db"] = arguments.lipDipDb;
        defaults["dip_window_ms"] = arguments.dipWindowMs;
        return defaults;
    });
    py::class_<Host::CueArguments>(module, "CueArguments");
    module.def("cue_arguments", &Python::CueArguments, py::arg("shapes"), py::arg("min_hold_ms"),
               py::arg("closure_ms"), py::arg("attack_ms"), py::arg("release_ms"),
               py::arg("sharpness"), py::arg("closed_margin"), py::arg("lip_margin"),
               py::arg("open_priority"), py::arg("closed_dip_db"), py::arg("lip_dip_db"),
               py::arg("dip_window_ms"));
    module.def("recording_cues", &Python::RecordingCues, py::arg("profile"), py::arg("time"),
               py::arg("volume"), py::arg("best"), py::arg("scores"), py::arg("hop"),
               py::arg("sample_rate"), py::arg("length"), py::arg("gate_db"), py::arg("silence_db"),
               py::arg("arguments"), py::arg("transcript"));
    module.def("recording_curves", &Python::RecordingCurves, py::arg("profile"), py::arg("time"),
               py::arg("volume"), py::arg("best"), py::arg("scores"), py::arg("hop"),
               py::arg("sample_rate"), py::arg("length"), py::arg("gate_db"), py::arg("silence_db"),
               py::arg("arguments"), py::arg("fps"), py::arg("transcript"));
    module.def("format_curves", &Python::FormatCurves, py::arg("shapes"), py::arg("sound_file"),
               py::arg("duration"), py::arg("fps"), py::arg("weights"), py::arg("jaw"),
               py::arg("format"), py::arg("rig") = nullptr);
    py::class_<Host::Rig>(module, "Rig")
        .def_readonly("name", &Host::Rig::name)
        .def_readonly("curve_names", &Host::Rig::curves)
        .def_property_readonly("shapes",
                               [](const Host::Rig& rig) { return Host::ShapeSetName(rig.set); })
        .def("__repr__", [](const Host::Rig& rig) {
            return "<vocetta.Rig " + rig.name + ": " + std::to_string(rig.curves.size()) +
                   " curves of the " + Host::ShapeSetName(rig.set) + " set>";
        });
    module.def("find_rig", &Host::FindRig, py::arg("name"),
               "A built-in rig by its name, or a rig file (a path, or a name ending in .json); "
               "CueError otherwise.");
    module.def("built_in_rigs", &Host::BuiltInRigNames);
    module.def("rig_values", &Python::RigValues, py::arg("rig"), py::arg("shapes"),
               py::arg("weights"), py::arg("jaw"));
    module.def("build_cues", &Python::BuildCues, py::arg("times"), py::arg("shapes"),
               py::arg("duration"), py::arg("arguments"), py::arg("resolution_ms"));
    module.def("format_cues", &Python::FormatCues, py::arg("shapes"), py::arg("sound_file"),
               py::arg("duration"), py::arg("starts"), py::arg("ends"), py::arg("values"),
               py::arg("format"), py::arg("fps"), py::arg("keyframes"));
    module.def("write_text", &Python::WriteText, py::arg("path"), py::arg("text"));

    module.def("label_frames", &Python::LabelFrames, py::arg("profile"), py::arg("time"),
               py::arg("seconds"), py::arg("volume"), py::arg("best"), py::arg("scores"),
               py::arg("gate_db"), py::arg("silence_db"), py::arg("smoothing"),
               py::arg("switch_cost"), py::arg("transcript"), py::arg("hop"),
               py::arg("sample_rate"));
    module.def(
        "transcript_words", [](const std::string& ipa) { return Host::IpaWords(ipa); },
        py::arg("ipa"));
    module.def(
        "written_words",
        [](const std::string& ipa, const std::string& text, const std::string& language) {
            return Python::AsTranscript(
                [&] { return Tool::WrittenWordsOf(text, ipa, language, "text"); });
        },
        py::arg("ipa"), py::arg("text"), py::arg("language"),
        "Each word of `ipa` (the phonemised `text`) named by the written words it says, or by its "
        "IPA where they cannot be told apart.");
    module.def(
        "checked_phones",
        [](const Profile& profile, const std::string& ipa, const std::string& source) {
            int silence = 0;
            const std::vector<std::string> names = Host::LabelNames(profile, silence);
            return Python::AsTranscript([&] { return Tool::CheckedPhones(ipa, source, names); });
        },
        py::arg("profile"), py::arg("ipa"), py::arg("source"),
        "`ipa` when it holds phones the profile can align (the tool's check), else "
        "TranscriptError naming `source`.");
    module.def(
        "spoken_text", [](const std::string& text) { return Host::SpokenText(text); },
        py::arg("text"), "The text less its stage directions and markup (the tool's --text).");
    module.def(
        "without_speaker_names",
        [](const std::string& text) { return Host::WithoutSpeakerNames(text); }, py::arg("text"),
        "The text less the speaker that begins each line (the tool's --speaker-names).");
    module.def(
        "phonemise",
        [](const std::string& text, const std::string& language) {
            return Python::AsTranscript([&] { return Tool::Phonemise(text, language, "text"); });
        },
        py::arg("text"), py::arg("language"),
        "The words in IPA, as espeak-ng's voice `language` speaks them (the tool's --text).");
    module.def(
        "load_cues",
        [](const std::string& path, const std::string& shapes) {
            const Host::CueTrack track = Host::LoadCueTrack(path, Host::ParseShapeSet(shapes));
            std::vector<std::tuple<double, double, std::string>> cues;
            for (const Host::MouthCue& cue : track.cues)
                cues.emplace_back(cue.start, cue.end,
                                  Host::ShapeNames(track.set)[size_t(cue.shape)]);
            return py::make_tuple(cues, track.duration, track.soundFile);
        },
        py::arg("path"), py::arg("shapes"), "A json cue file read back: (cues, duration, sound).");
    module.def(
        "load_curves",
        [](const std::string& path) {
            const Host::ShapeCurves curves = Host::LoadShapeCurves(path);
            const size_t shapes = Host::ShapeNames(curves.set).size();
            return py::make_tuple(Python::ToArray(curves.weights, 0, curves.FrameCount(), shapes),
                                  Python::ToArray(curves.jaw), curves.fps, curves.duration,
                                  Host::ShapeSetName(curves.set), curves.soundFile);
        },
        py::arg("path"),
        "A json curve file read back: (weights, jaw, fps, duration, shapes, sound).");
    module.def("read_audio", &Python::ReadAudio, py::arg("path"),
               "Decodes a recording as the tool does: (mono float32 samples, sample rate).");
}
