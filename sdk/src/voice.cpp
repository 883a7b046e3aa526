// The C interface of voice.h over the SDK's live pipeline: the same objects, in the same order,
// as examples/live_mouth.cpp puts them in an audio callback. Nothing may throw across it.
#include "vocetta/voice.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bake.hpp"
#include "error.hpp"
#include "output.hpp"
#include "transcript.hpp"
#include "vocetta/analyzer.hpp"
#include "vocetta/cues.hpp"
#include "vocetta/library.hpp"
#include "vocetta/live_labels.hpp"
#include "vocetta/mouth_shapes.hpp"
#include "vocetta/noise_cleaner.hpp"
#include "vocetta/profile.hpp"
#include "vocetta/rig.hpp"
#include "vocetta/ring.hpp"

struct VocettaHost {
    Vocetta::Host::Library library;
    Vocetta::Host::Profile profile;
    std::string origin;  // what names the profile in messages
    std::vector<std::string> labels;
};

struct VocettaCues {
    Vocetta::Host::CueTrack track;
};

struct VocettaCurves {
    Vocetta::Host::ShapeCurves curves;
};

struct VocettaRig {
    Vocetta::Host::Rig rig;
};

struct VocettaVoice {
    const VocettaHost* host = nullptr;
    int sampleRate = 0;
    int hop = 0;
    double framesPerSecond = 0;
    bool clean = false;
    std::optional<Vocetta::Host::Analyzer> analyzer;
    std::optional<Vocetta::Host::LiveLabels> labels;
    std::optional<Vocetta::Host::MouthShapes> mouth;
    std::optional<Vocetta::Host::NoiseCleaner> cleaner;
    std::vector<float> cleaned;  // the cleaner's output of one piece
    std::vector<double> times;   // of the last Lag() + 1 frames, for their labels' times
    int64_t frames = 0;
    // The frame callback the analyzer calls, made once: it reads where to report from here, so
    // that a push builds no std::function of its own.
    Vocetta::Host::Analyzer::Callback onFrame;
    VocettaVoiceCallback report = nullptr;
    void* user = nullptr;
};

namespace {

using Vocetta::Host::ShapeSet;

void Tell(char* message, size_t size, const std::string& text) {
    if (message == nullptr || size == 0) return;
    // Cut at a character's start, so that a short buffer never ends in half a UTF-8 sequence.
    size_t length = std::min(text.size(), size - 1);
    while (length > 0 && length < text.size() &&
           (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80)
        --length;
    std::memcpy(message, text.data(), length);
    message[length] = '\0';
}

// Runs `work`, turning whatever it throws into a status and a message.
template <typename Work>
VocettaStatus Guarded(char* message, size_t size, VocettaStatus thrown, Work&& work) {
    try {
        work();
        Tell(message, size, "");
        return VOCETTA_OK;
    } catch (const std::bad_alloc&) {
        Tell(message, size, "out of memory");
        return VOCETTA_ERROR_MEMORY;
    } catch (const std::invalid_argument& error) {
        Tell(message, size, error.what());
        return VOCETTA_ERROR_ARGUMENT;
    } catch (const std::exception& error) {
        Tell(message, size, error.what());
        return thrown;
    } catch (...) {
        Tell(message, size, "an unknown error");
        return VOCETTA_ERROR_INTERNAL;
    }
}

bool KnownSet(int set) {
    return set == VOCETTA_SHAPES_CARTOON || set == VOCETTA_SHAPES_VISEMES;
}

ShapeSet SetOf(int set) {
    return set == VOCETTA_SHAPES_VISEMES ? ShapeSet::Visemes : ShapeSet::Cartoon;
}

// A line analysed and labelled as the tool bakes it, then handed to `make` with its shape map;
// `fps` is nonzero for curves, whose mouth takes the SDK's smoothing as `--curves` gives it.
template <typename Make>
VocettaStatus Bake(const VocettaHost* host, const float* samples, size_t count,
                   const VocettaBakeSettings* settings, int fps, char* message, size_t message_size,
                   Make&& make) {
    if (host == nullptr || settings == nullptr || samples == nullptr || count == 0 ||
        !KnownSet(settings->shape_set) || (settings->text != nullptr && settings->ipa != nullptr)) {
        Tell(message, message_size,
             host == nullptr       ? "no host (host is null)"
             : settings == nullptr ? "no settings (settings is null)"
             : count == 0          ? "no samples to bake (count is 0)"
             : samples == nullptr  ? "no samples (samples is null)"
             : !KnownSet(settings->shape_set)
                 ? "shape_set: " + std::to_string(settings->shape_set) +
                       " is no shape set (VOCETTA_SHAPES_CARTOON or VOCETTA_SHAPES_VISEMES)"
                 : "text and ipa exclude each other: give the words or their phones");
        return VOCETTA_ERROR_ARGUMENT;
    }
    // As the tool refuses such a file: one NaN would make every score after it meaningless.
    for (size_t i = 0; i < count; ++i) {
        if (!std::isfinite(samples[i])) {
            Tell(message, message_size,
                 "samples[" + std::to_string(i) + "] is not a finite number");
            return VOCETTA_ERROR_ARGUMENT;
        }
    }
    namespace Tool = Vocetta::Tool;
    const ShapeSet set = SetOf(settings->shape_set);
    Tool::MouthArguments arguments;
    arguments.shapes = Vocetta::Host::ShapeSetName(set);
    if (fps > 0) {
        const Vocetta::Host::MouthSettings smoothing;
        arguments.attackMs = smoothing.attackSeconds * 1000.0;
        arguments.releaseMs = smoothing.releaseSeconds * 1000.0;
    }
    std::optional<std::string> transcript;
    VocettaStatus status = Guarded(message, message_size, VOCETTA_ERROR_TRANSCRIPT, [&] {
        try {
            if (settings->text != nullptr) {
                const char* language = settings->language ? settings->language : "en-us";
                // Cues and curves name no words: only the phones are needed.
                const Tool::Reading reading{settings->literal_text != 0,
                                            settings->speaker_names != 0, "literal_text"};
                transcript = Tool::TranscriptOfWords(settings->text, language, "text", reading,
                                                     host->labels, false)
                                 .ipa;
            } else if (settings->ipa != nullptr) {
                transcript = Tool::CheckedPhones(settings->ipa, "ipa", host->labels);
            }
        } catch (const Tool::UsageError& error) {
            // A voice name that is none ("--language: ..."): a setting out of its range.
            const std::string what = error.what();
            throw std::invalid_argument(what.starts_with("--") ? what.substr(2) : what);
        }
    });
    if (status != VOCETTA_OK) return status;
    // The rate and the shapes are the profile's to refuse; what is left, the transcript's.
    Vocetta::Host::ShapeMap map;
    status = Guarded(message, message_size, VOCETTA_ERROR_PROFILE, [&] {
        Vocetta::Host::RingLength(host->profile, settings->sample_rate, host->origin);
        map = Vocetta::Host::ProfileShapeMap(host->profile, set, host->origin);
    });
    if (status != VOCETTA_OK) return status;
    std::optional<Tool::BakedLine> line;
    status = Guarded(message, message_size, VOCETTA_ERROR_TRANSCRIPT, [&] {
        line = Tool::BakeLine(
            host->library, host->profile, host->origin, {samples, count}, settings->sample_rate,
            settings->sound_file != nullptr ? settings->sound_file : "", settings->keep_noise == 0,
            arguments, transcript ? &*transcript : nullptr);
    });
    if (status != VOCETTA_OK) return status;
    return Guarded(message, message_size, VOCETTA_ERROR_INTERNAL, [&] { make(*line, map); });
}

// Writes what `format` gives to `path` whole (a temporary file renamed into place), keeping a
// file that is there unless `replace`.
template <typename Format>
VocettaStatus Save(const char* path, int replace, char* message, size_t message_size,
                   Format&& format) {
    if (path == nullptr || *path == '\0') {
        Tell(message, message_size, "no file to write (path is null or empty)");
        return VOCETTA_ERROR_ARGUMENT;
    }
    return Guarded(message, message_size, VOCETTA_ERROR_FILE, [&] {
        std::error_code error;
        if (replace == 0 && std::filesystem::exists(std::filesystem::symlink_status(path, error)))
            throw std::runtime_error(std::string(path) + ": already exists (replace is 0)");
        Vocetta::Tool::OutputFile file(path, replace != 0 ? Vocetta::Tool::Existing::Replace
                                                          : Vocetta::Tool::Existing::Refuse);
        file.Write(format());
        file.Commit();
    });
}

// The analysis of a new stream: the objects that keep a stream's state, made afresh.
void StartStream(VocettaVoice& voice) {
    voice.analyzer.emplace(voice.host->library.entries(), voice.host->profile, voice.sampleRate,
                           voice.hop);
    voice.labels->Reset();
    voice.mouth->Reset();
    if (voice.clean) voice.cleaner.emplace(voice.sampleRate);
    voice.frames = 0;
}

void OnFrame(VocettaVoice& voice, const Vocetta::Host::AnalyzerFrame& frame) {
    const int label = voice.labels->Update(frame.volume, frame.best, frame.scores);
    // Rest under the level of the speech heard; until there is some, the mouth's own fixed
    // levels (a room's noise alone would set the gate under that noise).
    voice.mouth->FollowGate(voice.labels->MouthGate());
    voice.mouth->Update(frame.scores, frame.volume, 1.0 / voice.framesPerSecond);
    const size_t kept = voice.times.size();
    voice.times[size_t(voice.frames) % kept] = frame.time;
    ++voice.frames;
    if (voice.report == nullptr) return;
    const std::span<const float> weights = voice.mouth->Weights();
    VocettaVoiceFrame out{};
    out.time = frame.time;
    out.volume = frame.volume;
    out.shape = voice.mouth->Dominant();
    out.jaw = voice.mouth->Jaw();
    out.weights = weights.data();
    out.shape_count = static_cast<int>(weights.size());
    out.label = label;
    // The label is that of the frame Lag() frames back, the oldest time kept.
    out.label_time = label >= 0 ? voice.times[size_t(voice.frames) % kept] : 0.0;
    voice.report(voice.user, &out);
}

// Pushes through the cleaner in pieces of at most a hop, which its reserved output holds.
void PushSamples(VocettaVoice& voice, const float* samples, size_t count) {
    if (!voice.clean) {
        voice.analyzer->Push(samples, count, voice.onFrame);
        return;
    }
    for (size_t at = 0; at < count; at += size_t(voice.hop)) {
        const size_t piece = std::min(size_t(voice.hop), count - at);
        voice.cleaned.clear();
        voice.cleaner->Push(samples + at, piece, voice.cleaned);
        voice.analyzer->Push(voice.cleaned.data(), voice.cleaned.size(), voice.onFrame);
    }
}

struct Reporting {
    VocettaVoice& voice;
    Reporting(VocettaVoice& voice, VocettaVoiceCallback report, void* user) : voice(voice) {
        voice.report = report;
        voice.user = user;
    }
    ~Reporting() {
        voice.report = nullptr;
        voice.user = nullptr;
    }
};

}  // namespace

extern "C" {

VocettaStatus vocetta_host_open(const char* library_path, const char* profile_path,
                                VocettaHost** host, char* message, size_t message_size) {
    if (host == nullptr) {
        Tell(message, message_size, "no place for the host (host is null)");
        return VOCETTA_ERROR_ARGUMENT;
    }
    *host = nullptr;
    std::string path;
    const VocettaStatus opened = Guarded(message, message_size, VOCETTA_ERROR_LIBRARY, [&] {
        path = library_path != nullptr ? library_path : Vocetta::Host::Library::DefaultPath();
    });
    if (opened != VOCETTA_OK) return opened;
    std::optional<Vocetta::Host::Library> library;
    const VocettaStatus loaded =
        Guarded(message, message_size, VOCETTA_ERROR_LIBRARY, [&] { library.emplace(path); });
    if (loaded != VOCETTA_OK) return loaded;
    std::optional<Vocetta::Host::Profile> profile;
    const VocettaStatus read = Guarded(message, message_size, VOCETTA_ERROR_PROFILE, [&] {
        profile.emplace(profile_path != nullptr ? Vocetta::Host::LoadProfile(profile_path)
                                                : Vocetta::Host::DefaultProfile());
    });
    if (read != VOCETTA_OK) return read;
    return Guarded(message, message_size, VOCETTA_ERROR_INTERNAL, [&] {
        auto made = new VocettaHost{std::move(*library),
                                    std::move(*profile),
                                    profile_path != nullptr ? profile_path : "built-in",
                                    {}};
        int silence = 0;
        made->labels = Vocetta::Host::LabelNames(made->profile, silence);
        *host = made;
    });
}

void vocetta_host_close(VocettaHost* host) {
    delete host;
}

int vocetta_host_label_count(const VocettaHost* host) {
    return host != nullptr ? static_cast<int>(host->labels.size()) : 0;
}

const char* vocetta_host_label_name(const VocettaHost* host, int label) {
    if (host == nullptr || label < 0 || size_t(label) >= host->labels.size()) return nullptr;
    return host->labels[size_t(label)].c_str();
}

int vocetta_shape_count(int set) {
    return KnownSet(set) ? static_cast<int>(Vocetta::Host::ShapeNames(SetOf(set)).size()) : 0;
}

const char* vocetta_shape_name(int set, int shape) {
    if (!KnownSet(set) || shape < 0 || shape >= vocetta_shape_count(set)) return nullptr;
    return Vocetta::Host::ShapeNames(SetOf(set))[size_t(shape)].c_str();
}

int vocetta_rest_shape(int set) {
    return KnownSet(set) ? Vocetta::Host::RestShape(SetOf(set)) : -1;
}

VocettaStatus vocetta_voice_create(const VocettaHost* host, const VocettaVoiceSettings* settings,
                                   VocettaVoice** voice, char* message, size_t message_size) {
    if (voice == nullptr || host == nullptr || settings == nullptr) {
        Tell(message, message_size,
             voice == nullptr  ? "no place for the voice (voice is null)"
             : host == nullptr ? "no host to make the voice from (host is null)"
                               : "no settings (settings is null)");
        if (voice != nullptr) *voice = nullptr;
        return VOCETTA_ERROR_ARGUMENT;
    }
    *voice = nullptr;
    if (!KnownSet(settings->shape_set)) {
        Tell(message, message_size,
             "shape_set: " + std::to_string(settings->shape_set) +
                 " is no shape set (VOCETTA_SHAPES_CARTOON or VOCETTA_SHAPES_VISEMES)");
        return VOCETTA_ERROR_ARGUMENT;
    }
    if (settings->sample_rate <= 0 || settings->hop_samples < 0) {
        Tell(message, message_size,
             settings->sample_rate <= 0
                 ? "sample_rate: " + std::to_string(settings->sample_rate) + " Hz is no rate"
                 : "hop_samples: " + std::to_string(settings->hop_samples) +
                       " is negative (0 gives 10 ms)");
        return VOCETTA_ERROR_ARGUMENT;
    }
    VocettaVoice* made = nullptr;
    const VocettaStatus status = Guarded(message, message_size, VOCETTA_ERROR_PROFILE, [&] {
        auto owned = std::make_unique<VocettaVoice>();
        VocettaVoice& v = *owned;
        v.host = host;
        v.sampleRate = settings->sample_rate;
        v.hop = settings->hop_samples > 0 ? settings->hop_samples
                                          : std::max(1, settings->sample_rate / 100);
        v.framesPerSecond = double(v.sampleRate) / v.hop;
        v.clean = settings->clean_noise != 0;
        v.labels.emplace(host->profile, v.framesPerSecond);
        v.mouth.emplace(
            Vocetta::Host::ProfileShapeMap(host->profile, SetOf(settings->shape_set), host->origin),
            Vocetta::Host::MouthSettings{});
        v.times.assign(v.labels->Lag() + 1, 0.0);
        v.onFrame = [&v](const Vocetta::Host::AnalyzerFrame& frame) { OnFrame(v, frame); };
        StartStream(v);
        if (v.clean) v.cleaned.reserve(size_t(4 * v.hop) + v.cleaner->Latency());
        made = owned.release();
    });
    *voice = made;
    return status;
}

void vocetta_voice_free(VocettaVoice* voice) {
    delete voice;
}

VocettaStatus vocetta_voice_push(VocettaVoice* voice, const float* samples, size_t count,
                                 VocettaVoiceCallback on_frame, void* user) {
    if (voice == nullptr || (samples == nullptr && count > 0)) return VOCETTA_ERROR_ARGUMENT;
    const Reporting reporting(*voice, on_frame, user);
    return Guarded(nullptr, 0, VOCETTA_ERROR_INTERNAL,
                   [&] { PushSamples(*voice, samples, count); });
}

VocettaStatus vocetta_voice_finish(VocettaVoice* voice, VocettaVoiceCallback on_frame, void* user) {
    if (voice == nullptr) return VOCETTA_ERROR_ARGUMENT;
    const Reporting reporting(*voice, on_frame, user);
    return Guarded(nullptr, 0, VOCETTA_ERROR_INTERNAL, [&] {
        VocettaVoice& v = *voice;
        if (v.clean) {
            v.cleaned.clear();
            v.cleaner->Finish(v.cleaned);
            v.analyzer->Push(v.cleaned.data(), v.cleaned.size(), v.onFrame);
        }
        v.analyzer->Finish(v.onFrame);
        const std::vector<int> last = v.labels->Finish();
        const size_t kept = v.times.size();
        for (size_t i = 0; i < last.size() && on_frame != nullptr; ++i) {
            VocettaVoiceFrame out{};
            out.shape = -1;
            out.label = last[i];
            out.label_time = v.times[size_t(v.frames - int64_t(last.size()) + int64_t(i)) % kept];
            out.time = out.label_time;
            on_frame(user, &out);
        }
        StartStream(v);
    });
}

int vocetta_voice_lag(const VocettaVoice* voice) {
    return voice != nullptr ? static_cast<int>(voice->labels->Lag()) : 0;
}

int vocetta_voice_hop(const VocettaVoice* voice) {
    return voice != nullptr ? voice->hop : 0;
}

VocettaStatus vocetta_cues_open(const char* path, int set, VocettaCues** cues, char* message,
                                size_t message_size) {
    if (cues == nullptr || path == nullptr || !KnownSet(set)) {
        Tell(message, message_size,
             cues == nullptr   ? "no place for the cues (cues is null)"
             : path == nullptr ? "no cue file (path is null)"
                               : "set: " + std::to_string(set) +
                                     " is no shape set (VOCETTA_SHAPES_CARTOON or "
                                     "VOCETTA_SHAPES_VISEMES)");
        if (cues != nullptr) *cues = nullptr;
        return VOCETTA_ERROR_ARGUMENT;
    }
    *cues = nullptr;
    return Guarded(message, message_size, VOCETTA_ERROR_FILE,
                   [&] { *cues = new VocettaCues{Vocetta::Host::LoadCueTrack(path, SetOf(set))}; });
}

void vocetta_cues_close(VocettaCues* cues) {
    delete cues;
}

double vocetta_cues_duration(const VocettaCues* cues) {
    return cues != nullptr ? cues->track.duration : 0.0;
}

int vocetta_cues_count(const VocettaCues* cues) {
    return cues != nullptr ? static_cast<int>(cues->track.cues.size()) : 0;
}

int vocetta_cues_get(const VocettaCues* cues, int index, double* start, double* end) {
    if (cues == nullptr || index < 0 || size_t(index) >= cues->track.cues.size()) return -1;
    const Vocetta::Host::MouthCue& cue = cues->track.cues[size_t(index)];
    if (start != nullptr) *start = cue.start;
    if (end != nullptr) *end = cue.end;
    return cue.shape;
}

int vocetta_cues_shape_at(const VocettaCues* cues, double seconds) {
    return cues != nullptr ? Vocetta::Host::ShapeAt(cues->track, seconds) : -1;
}

VocettaStatus vocetta_curves_open(const char* path, VocettaCurves** curves, char* message,
                                  size_t message_size) {
    if (curves == nullptr || path == nullptr) {
        Tell(message, message_size,
             curves == nullptr ? "no place for the curves (curves is null)"
                               : "no curve file (path is null)");
        if (curves != nullptr) *curves = nullptr;
        return VOCETTA_ERROR_ARGUMENT;
    }
    *curves = nullptr;
    return Guarded(message, message_size, VOCETTA_ERROR_FILE,
                   [&] { *curves = new VocettaCurves{Vocetta::Host::LoadShapeCurves(path)}; });
}

void vocetta_curves_close(VocettaCurves* curves) {
    delete curves;
}

int vocetta_curves_shape_set(const VocettaCurves* curves) {
    if (curves == nullptr) return -1;
    return curves->curves.set == ShapeSet::Visemes ? VOCETTA_SHAPES_VISEMES
                                                   : VOCETTA_SHAPES_CARTOON;
}

int vocetta_curves_fps(const VocettaCurves* curves) {
    return curves != nullptr ? curves->curves.fps : 0;
}

int vocetta_curves_frame_count(const VocettaCurves* curves) {
    return curves != nullptr ? static_cast<int>(curves->curves.FrameCount()) : 0;
}

double vocetta_curves_duration(const VocettaCurves* curves) {
    return curves != nullptr ? curves->curves.duration : 0.0;
}

float vocetta_curves_sample(const VocettaCurves* curves, double seconds, float* weights,
                            int weight_count) {
    if (curves == nullptr) return 0.0f;
    const size_t count = weights != nullptr && weight_count > 0 ? size_t(weight_count) : 0;
    return Vocetta::Host::SampleCurves(curves->curves, seconds, {weights, count});
}

VocettaStatus vocetta_rig_open(const char* name, VocettaRig** rig, char* message,
                               size_t message_size) {
    if (rig == nullptr || name == nullptr) {
        Tell(message, message_size,
             rig == nullptr ? "no place for the rig (rig is null)" : "no rig (name is null)");
        if (rig != nullptr) *rig = nullptr;
        return VOCETTA_ERROR_ARGUMENT;
    }
    *rig = nullptr;
    return Guarded(message, message_size, VOCETTA_ERROR_FILE,
                   [&] { *rig = new VocettaRig{Vocetta::Host::FindRig(name)}; });
}

void vocetta_rig_close(VocettaRig* rig) {
    delete rig;
}

int vocetta_rig_shape_set(const VocettaRig* rig) {
    if (rig == nullptr) return -1;
    return rig->rig.set == ShapeSet::Visemes ? VOCETTA_SHAPES_VISEMES : VOCETTA_SHAPES_CARTOON;
}

int vocetta_rig_curve_count(const VocettaRig* rig) {
    return rig != nullptr ? static_cast<int>(rig->rig.curves.size()) : 0;
}

const char* vocetta_rig_curve_name(const VocettaRig* rig, int index) {
    if (rig == nullptr || index < 0 || size_t(index) >= rig->rig.curves.size()) return nullptr;
    return rig->rig.curves[size_t(index)].c_str();
}

void vocetta_rig_mix(const VocettaRig* rig, const float* weights, int weight_count, float jaw,
                     float* values, int value_count) {
    if (rig == nullptr || values == nullptr || value_count <= 0) return;
    // MixRig weighs the shapes beyond those given as nothing.
    const size_t count = weights != nullptr && weight_count > 0 ? size_t(weight_count) : 0;
    Vocetta::Host::MixRig(rig->rig, {weights, count}, jaw, {values, size_t(value_count)});
}

VocettaStatus vocetta_cues_bake(const VocettaHost* host, const float* samples, size_t count,
                                const VocettaBakeSettings* settings, VocettaCues** cues,
                                char* message, size_t message_size) {
    if (cues != nullptr) *cues = nullptr;
    if (cues == nullptr) {
        Tell(message, message_size, "no place for the cues (cues is null)");
        return VOCETTA_ERROR_ARGUMENT;
    }
    return Bake(host, samples, count, settings, 0, message, message_size,
                [&](const Vocetta::Tool::BakedLine& line, const Vocetta::Host::ShapeMap& map) {
                    *cues = new VocettaCues{Vocetta::Tool::BuildCueTrack(
                        map, line.mouth, line.recording, line.analysis, line.labels)};
                });
}

VocettaStatus vocetta_curves_bake(const VocettaHost* host, const float* samples, size_t count,
                                  const VocettaBakeSettings* settings, int fps,
                                  VocettaCurves** curves, char* message, size_t message_size) {
    if (curves != nullptr) *curves = nullptr;
    if (curves == nullptr || fps < 1 || fps > 1000) {
        Tell(message, message_size,
             curves == nullptr
                 ? "no place for the curves (curves is null)"
                 : "fps: " + std::to_string(fps) + " is not 1 ... 1000 frames a second");
        return VOCETTA_ERROR_ARGUMENT;
    }
    return Bake(host, samples, count, settings, fps, message, message_size,
                [&](const Vocetta::Tool::BakedLine& line, const Vocetta::Host::ShapeMap& map) {
                    *curves = new VocettaCurves{Vocetta::Tool::BuildShapeCurves(
                        map, line.mouth, line.recording, line.analysis, fps, line.labels)};
                });
}

VocettaStatus vocetta_cues_save(const VocettaCues* cues, const char* path, int replace,
                                char* message, size_t message_size) {
    if (cues == nullptr) {
        Tell(message, message_size, "no cues to save (cues is null)");
        return VOCETTA_ERROR_ARGUMENT;
    }
    return Save(path, replace, message, message_size, [&] {
        return Vocetta::Host::FormatCues(cues->track, Vocetta::Host::CueFormat::Json, {});
    });
}

VocettaStatus vocetta_curves_save(const VocettaCurves* curves, const char* path, int replace,
                                  char* message, size_t message_size) {
    if (curves == nullptr) {
        Tell(message, message_size, "no curves to save (curves is null)");
        return VOCETTA_ERROR_ARGUMENT;
    }
    return Save(path, replace, message, message_size, [&] {
        return Vocetta::Host::FormatCurves(curves->curves, Vocetta::Host::CurveFormat::Json);
    });
}

}  // extern "C"
