#include "batch.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>

#include "error.hpp"

namespace Vocetta::Tool {
namespace {

constexpr size_t kChunkFrames = 32;

}  // namespace

int DefaultThreads() {
    return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

void RunBatch(const Host::Library& library, const Profile& profile,
              const std::vector<std::string>& paths, const BatchSettings& settings,
              const std::function<void(size_t, const Recording&, const Analysis&)>& done,
              const std::function<void(size_t, const std::string&)>& failed) {
    Progress progress(settings.command, paths.size(), settings.progress);
    for (size_t index = 0; index < paths.size(); ++index) {
        Recording recording;
        Analysis analysis;
        // A file that cannot be read or analysed is reported and skipped; the rest go on.
        auto skip = [&](const std::exception& error) {
            progress.Message(settings.command + ": " + error.what());
            failed(index, error.what());
        };
        try {
            recording = LoadRecording(paths[index]);
            analysis =
                PrepareAnalysis(profile, recording, settings.hopSeconds, settings.scorePhonemes);
        } catch (const ToolError& error) {
            skip(error);
            continue;
        } catch (const Host::ProfileError& error) {
            skip(error);
            continue;
        }
        const size_t frames = analysis.FrameCount();
        const size_t chunks = (frames + kChunkFrames - 1) / kChunkFrames;
        progress.StartFile(index, frames);
        std::atomic<size_t> next{0};
        std::mutex errorMutex;
        std::exception_ptr error;
        // The calling thread works too, and keeps the bar moving between its chunks.
        auto work = [&](bool drawProgress) {
            try {
                for (size_t chunk; (chunk = next.fetch_add(1)) < chunks;) {
                    const size_t first = chunk * kChunkFrames;
                    const size_t last = std::min(frames, first + kChunkFrames);
                    AnalyzeRange(library, profile, recording, analysis, first, last);
                    progress.AddFrames(last - first);
                    if (drawProgress) progress.Draw();
                }
            } catch (...) {
                const std::lock_guard lock(errorMutex);
                if (!error) error = std::current_exception();
                next.store(chunks);
            }
        };
        const size_t helpers =
            std::min<size_t>(static_cast<size_t>(std::max(settings.threads, 1)), chunks) - 1;
        std::vector<std::thread> threads;
        threads.reserve(helpers);
        for (size_t t = 0; t < helpers; ++t)
            threads.emplace_back(work, false);
        work(true);
        for (std::thread& thread : threads)
            thread.join();
        if (error) {
            std::string message;
            try {
                std::rethrow_exception(error);
            } catch (const std::exception& caught) {
                message = paths[index] + ": analysis failed: " + caught.what();
            }
            progress.Message(settings.command + ": " + message);
            failed(index, message);
            continue;
        }
        done(index, recording, analysis);
    }
}

}  // namespace Vocetta::Tool
