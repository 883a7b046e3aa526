#include "batch.hpp"

#include <algorithm>
#include <exception>
#include <thread>

#include "error.hpp"
#include "upsample.hpp"
#include "vocetta/noise_cleaner.hpp"

namespace Vocetta::Tool {
namespace {

// Frames per run that one thread analyses, and samples per read when frames need not follow
// their samples at once.
constexpr size_t kRunFrames = 128;
constexpr size_t kReadSamples = 16384;

// The recording with its steady noise taken out, read as AnalysisSource reads it: fewer samples
// than asked only at the end. The cleaner holds back its latency, so it reads that far ahead.
class CleanedSource {
  public:
    CleanedSource(AnalysisSource& source, int sampleRate) : source_(source), cleaner_(sampleRate) {}

    // `raw`, when not null, receives the samples as recorded.
    size_t Read(float* samples, size_t count, std::vector<float>* raw) {
        while (ready_.size() - used_ < count && !ended_) {
            // As much as is asked for: a stream read a hop at a time stays a hop at a time.
            const size_t want = std::max<size_t>(count, 1);
            block_.resize(want);
            block_.resize(source_.Read(block_.data(), want));
            if (raw != nullptr) raw->insert(raw->end(), block_.begin(), block_.end());
            if (used_ > 0) {
                ready_.erase(ready_.begin(), ready_.begin() + static_cast<long>(used_));
                used_ = 0;
            }
            cleaner_.Push(block_.data(), block_.size(), ready_);
            if (block_.size() < want) {
                cleaner_.Finish(ready_);
                ended_ = true;
            }
        }
        const size_t got = std::min(count, ready_.size() - used_);
        std::copy_n(ready_.begin() + static_cast<long>(used_), got, samples);
        used_ += got;
        return got;
    }

  private:
    AnalysisSource& source_;
    Host::NoiseCleaner cleaner_;
    std::vector<float> block_, ready_;
    size_t used_ = 0;
    bool ended_ = false;
};

struct FileWork {
    const Host::Library& library;
    const Profile& profile;
    const BatchSettings& settings;
    Progress& progress;
    size_t index;
    AnalysisSource& source;
    CleanedSource* cleaned;  // null: the audio as recorded
    Recording& recording;
    Analysis& analysis;

    size_t Read(std::vector<float>& into, size_t count) {
        const size_t have = into.size();
        into.resize(have + count);
        std::vector<float>* raw = settings.keepSamples ? &recording.samples : nullptr;
        size_t got;
        if (cleaned != nullptr) {
            got = cleaned->Read(into.data() + have, count, raw);
        } else {
            got = source.Read(into.data() + have, count);
            if (raw != nullptr)
                raw->insert(raw->end(), into.begin() + long(have), into.begin() + long(have + got));
        }
        into.resize(have + got);
        return got;
    }

    void Appended(size_t frames) {
        progress.AddFrames(frames);
        progress.Draw();
        if (!settings.onFrame) return;
        for (size_t frame = analysis.FrameCount() - frames; frame < analysis.FrameCount(); ++frame)
            settings.onFrame(index, recording, analysis, frame);
    }

    // One analyzer on the calling thread, fed as the samples come.
    void Sequential(size_t readSize) {
        Host::Analyzer analyzer(library.entries(), profile, analysis.sampleRate, analysis.hop,
                                settings.scorePhonemes);
        const auto append = [&](const Host::AnalyzerFrame& frame) {
            analysis.Append(frame);
            Appended(1);
        };
        std::vector<float> block;
        for (;;) {
            block.clear();
            const size_t got = Read(block, readSize);
            analyzer.Push(block.data(), got, append);
            if (got < readSize) break;
        }
        analyzer.Finish(append);
    }

    // Runs of frames on several threads, a stretch of the recording at a time: the window holds
    // the samples from the first frame not yet analysed on.
    void Parallel(size_t threads) {
        const auto length = static_cast<size_t>(analysis.ringLength);
        const auto hop = static_cast<size_t>(analysis.hop);
        const size_t stretch = threads * kRunFrames;
        std::vector<float> window;
        size_t windowStart = 0;  // the stream position of window[0]
        size_t next = 0;         // the first frame not analysed yet
        for (bool ended = false; !ended;) {
            const size_t need = (next + stretch - 1) * hop + length;
            while (!ended && windowStart + window.size() < need) {
                const size_t want = std::min(kReadSamples, need - windowStart - window.size());
                ended = Read(window, want) < want;
            }
            const size_t available = windowStart + window.size();
            const size_t last =
                ended ? std::max(next, PlannedFrames(available, analysis.ringLength, analysis.hop))
                      : next + stretch;
            if (last == next) break;
            const size_t runs = std::min(threads, (last - next + kRunFrames - 1) / kRunFrames);
            const size_t perRun = (last - next + runs - 1) / runs;
            std::vector<Analysis> results(runs);
            std::vector<std::exception_ptr> errors(runs);
            auto work = [&](size_t run) {
                try {
                    const size_t first = next + run * perRun;
                    const size_t end = std::min(last, first + perRun);
                    if (first >= end) return;
                    Analysis& out = results[run];
                    Host::Analyzer analyzer(library.entries(), profile, analysis.sampleRate,
                                            analysis.hop, settings.scorePhonemes,
                                            static_cast<int64_t>(first * hop));
                    const size_t from = first * hop - windowStart;
                    const size_t to = std::min((end - 1) * hop + length, available) - windowStart;
                    const auto append = [&](const Host::AnalyzerFrame& frame) {
                        if (out.FrameCount() < end - first) out.Append(frame);
                    };
                    analyzer.Push(window.data() + from, to - from, append);
                    analyzer.Finish(append);
                } catch (...) {
                    errors[run] = std::current_exception();
                }
            };
            std::vector<std::thread> helpers;
            for (size_t run = 1; run < runs; ++run)
                helpers.emplace_back(work, run);
            work(0);
            for (std::thread& helper : helpers)
                helper.join();
            for (size_t run = 0; run < runs; ++run) {
                if (errors[run]) std::rethrow_exception(errors[run]);
                analysis.Append(results[run]);
                Appended(results[run].FrameCount());
            }
            next = last;
            const size_t drop = std::min(window.size(), next * hop - windowStart);
            window.erase(window.begin(), window.begin() + static_cast<long>(drop));
            windowStart += drop;
        }
    }
};

}  // namespace

int DefaultThreads() {
    return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

void RunBatch(const Host::Library& library, const Profile& profile,
              const std::vector<std::string>& paths, const BatchSettings& settings,
              const std::function<void(size_t, const Recording&, const Analysis&)>& done,
              const std::function<void(size_t, const std::string&)>& failed) {
    Progress progress(settings.command, paths.size(), settings.progress);
    // Problems shared by many files (a rate the profile cannot analyse) are told once, with a
    // count of the files they repeat for.
    std::vector<std::string> told;
    size_t repeats = 0;
    for (size_t index = 0; index < paths.size(); ++index) {
        Recording recording;
        Analysis analysis;
        // A file that cannot be read or analysed is reported and skipped; the rest go on.
        auto skip = [&](const std::string& message) {
            std::string problem = message;
            if (const size_t at = problem.find(paths[index]); at != std::string::npos) {
                problem.erase(at, paths[index].size());
            }
            if (std::find(told.begin(), told.end(), problem) != told.end()) {
                ++repeats;
            } else {
                told.push_back(problem);
                progress.Message(settings.command + ": " + message);
            }
            failed(index, message);
        };
        try {
            AudioReader reader(paths[index], settings.raw);
            AnalysisSource source(reader, profile.targetSampleRate);
            if (source.resampled()) {
                progress.Message(settings.command + ": note: " + reader.path() + ": " +
                                 std::to_string(reader.sampleRate()) +
                                 " Hz is below the profile's " +
                                 std::to_string(profile.targetSampleRate) +
                                 " Hz analysis rate; resampling up with libsoxr");
            }
            recording.path = reader.path();
            recording.sampleRate = source.sampleRate();
            recording.channels = reader.channels();
            analysis = PrepareAnalysis(profile, source.sampleRate(), reader.path(),
                                       settings.hopSeconds, settings.scorePhonemes);
            const int64_t declared = source.declaredFrames();
            const double rate = analysis.sampleRate;
            progress.StartFile(index,
                               declared > 0 ? PlannedFrames(static_cast<size_t>(declared),
                                                            analysis.ringLength, analysis.hop)
                                            : 0,
                               paths[index],
                               reader.declaredFrames() > 0
                                   ? double(reader.declaredFrames()) / reader.sampleRate()
                                   : -1.0,
                               analysis.ringLength / rate, analysis.hop / rate);
            std::optional<CleanedSource> cleaned;
            if (settings.cleanNoise) cleaned.emplace(source, source.sampleRate());
            FileWork work{library,
                          profile,
                          settings,
                          progress,
                          index,
                          source,
                          cleaned ? &*cleaned : nullptr,
                          recording,
                          analysis};
            const bool follow = settings.onFrame && paths[index] == "-";
            if (follow) {
                work.Sequential(static_cast<size_t>(analysis.hop));
            } else if (settings.threads <= 1) {
                work.Sequential(kReadSamples);
            } else {
                work.Parallel(static_cast<size_t>(settings.threads));
            }
            recording.length = static_cast<size_t>(source.framesRead());
            analysis.seconds = recording.Seconds();
            progress.FinishFile(double(reader.framesRead()) / reader.sampleRate());
        } catch (const ToolError& error) {
            skip(error.what());
            continue;
        } catch (const Host::ProfileError& error) {
            skip(error.what());
            continue;
        } catch (const std::exception& error) {
            skip(paths[index] + ": analysis failed: " + error.what());
            continue;
        }
        done(index, recording, analysis);
    }
    if (repeats > 0) {
        progress.Message(settings.command + ": the same problem in " + std::to_string(repeats) +
                         " more recording(s)");
    }
}

}  // namespace Vocetta::Tool
