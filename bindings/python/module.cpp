// The native half of the Python package `vocetta` (vocetta/__init__.py is the other): the SDK's
// profile loader, streaming analyzer and the tool's own decoding and labelling, over numpy arrays.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analysis.hpp"
#include "audio.hpp"
#include "error.hpp"
#include "labels.hpp"
#include "vocetta/analyzer.hpp"
#include "vocetta/library.hpp"
#include "vocetta/profile.hpp"
#include "vocetta/ring.hpp"

namespace py = pybind11;

namespace Vocetta::Python {
namespace {

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

// Every frame an analyzer has given so far.
class Analyzer {
  public:
    Analyzer(std::shared_ptr<const Profile> profile, int sampleRate, double hopMs)
        : profile_(std::move(profile)),
          analyzer_(Library().entries(), *profile_, sampleRate, HopSamples(hopMs, sampleRate)),
          phonemes_(profile_->phonemes.size()),
          coefficients_(static_cast<size_t>(profile_->coefficients)) {}

    size_t Push(const Samples& samples) {
        if (samples.ndim() != 1) throw py::value_error("samples must be a one-dimensional array");
        const size_t before = time_.size();
        {
            py::gil_scoped_release unlocked;
            analyzer_.Push(samples.data(), static_cast<size_t>(samples.size()), Keep());
        }
        return time_.size() - before;
    }

    size_t Finish() {
        const size_t before = time_.size();
        analyzer_.Finish(Keep());
        return time_.size() - before;
    }

    const Host::Analyzer& analyzer() const { return analyzer_; }
    const Profile& profile() const { return *profile_; }
    const std::vector<double>& time() const { return time_; }
    // Frames [first, count): time, volume, best, scores, mfcc. A stream's reader asks for the
    // new ones only, so that reading stays proportional to what arrived.
    py::tuple Frames(size_t first) const {
        const size_t count = time_.size();
        first = std::min(first, count);
        return py::make_tuple(Slice(time_, first, count), Slice(volume_, first, count),
                              Slice(best_, first, count), ToArray(scores_, first, count, phonemes_),
                              ToArray(mfcc_, first, count, coefficients_));
    }

  private:
    Host::Analyzer::Callback Keep() {
        return [this](const Host::AnalyzerFrame& frame) {
            time_.push_back(frame.time);
            volume_.push_back(frame.volume);
            best_.push_back(frame.best);
            scores_.insert(scores_.end(), frame.scores.begin(), frame.scores.end());
            mfcc_.insert(mfcc_.end(), frame.mfcc.begin(), frame.mfcc.end());
        };
    }

    std::shared_ptr<const Profile> profile_;
    Host::Analyzer analyzer_;
    size_t phonemes_, coefficients_;
    std::vector<double> time_;
    std::vector<float> volume_;
    std::vector<int32_t> best_;
    std::vector<float> scores_, mfcc_;
};

// The phoneme of every frame exactly as `vocetta analyze` labels it.
std::vector<std::string> LabelFrames(const Profile& profile,
                                     const py::array_t<float, py::array::forcecast>& volume,
                                     const py::array_t<int32_t, py::array::forcecast>& best,
                                     const py::array_t<float, py::array::forcecast>& scores,
                                     double gateDb, std::optional<double> silenceDb, bool smoothing,
                                     double switchCost) {
    const auto frames = static_cast<size_t>(volume.size());
    const size_t phonemes = profile.phonemes.size();
    if (static_cast<size_t>(best.size()) != frames ||
        static_cast<size_t>(scores.size()) != frames * phonemes) {
        throw py::value_error("volume, best and scores must describe the same frames");
    }
    Tool::Analysis analysis;
    analysis.phonemes = static_cast<int>(phonemes);
    analysis.frames.resize(frames);
    for (size_t i = 0; i < frames; ++i) {
        analysis.frames[i].volume = volume.data()[i];
        analysis.frames[i].best = best.data()[i];
    }
    analysis.scores.assign(scores.data(), scores.data() + frames * phonemes);
    Tool::LabelSettings settings;
    settings.absoluteDb = silenceDb;
    settings.gateDb = gateDb;
    settings.smoothing = smoothing;
    settings.switchCost = static_cast<float>(switchCost);
    const Tool::FrameLabels labels = Tool::LabelFrames(profile, analysis, settings);
    std::vector<std::string> names;
    names.reserve(frames);
    for (size_t i = 0; i < frames; ++i)
        names.push_back(labels.Name(i));
    return names;
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

    py::class_<Analyzer>(module, "Analyzer")
        .def(py::init<std::shared_ptr<const Profile>, int, double>(), py::arg("profile"),
             py::arg("sample_rate"), py::arg("hop_ms"))
        .def("push", &Analyzer::Push, py::arg("samples"))
        .def("finish", &Analyzer::Finish)
        .def_property_readonly("profile", [](const Analyzer& a) { return a.profile(); })
        .def_property_readonly("sample_rate",
                               [](const Analyzer& a) { return a.analyzer().sampleRate(); })
        .def_property_readonly("ring_length",
                               [](const Analyzer& a) { return a.analyzer().ringLength(); })
        .def_property_readonly("hop", [](const Analyzer& a) { return a.analyzer().hop(); })
        .def_property_readonly("pushed", [](const Analyzer& a) { return a.analyzer().pushed(); })
        .def_property_readonly("count", [](const Analyzer& a) { return a.time().size(); })
        .def("frames", &Analyzer::Frames, py::arg("first") = 0);

    module.def("label_frames", &Python::LabelFrames, py::arg("profile"), py::arg("volume"),
               py::arg("best"), py::arg("scores"), py::arg("gate_db"), py::arg("silence_db"),
               py::arg("smoothing"), py::arg("switch_cost"));
    module.def("read_audio", &Python::ReadAudio, py::arg("path"),
               "Decodes a recording as the tool does: (mono float32 samples, sample rate).");
}
