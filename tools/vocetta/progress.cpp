#include "progress.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include "error.hpp"
#include "output.hpp"

namespace Vocetta::Tool {
namespace {

// Seconds to the millisecond, which print with as few digits as they need.
double Milliseconds(double seconds) {
    return std::round(seconds * 1000.0) / 1000.0;
}

}  // namespace

ProgressMode ParseProgressMode(const std::string& text) {
    if (text == "bar") return ProgressMode::Bar;
    if (text == "json") return ProgressMode::Json;
    throw UsageError("--progress: unknown kind '" + text + "' (bar or json)");
}

Progress::Progress(std::string label, size_t files, ProgressMode mode, std::string unit)
    : label_(std::move(label)),
      unit_(std::move(unit)),
      files_(files),
      mode_(mode == ProgressMode::Bar && ::isatty(STDERR_FILENO) != 1 ? ProgressMode::None : mode) {
}

Progress::~Progress() {
    Erase();
}

void Progress::StartFile(size_t index, size_t frames, const std::string& name, double totalSeconds,
                         double firstEnd, double frameSeconds) {
    file_ = index;
    fileFrames_ = std::max<size_t>(frames, 1);
    name_ = name;
    total_ = totalSeconds;
    firstEnd_ = firstEnd;
    frameSeconds_ = frameSeconds;
    frames_.store(0, std::memory_order_relaxed);
    lastDraw_ = {};
    drawn_ = false;
    Draw();
}

void Progress::Draw(bool force) {
    if (mode_ == ProgressMode::None) return;
    const auto now = std::chrono::steady_clock::now();
    const auto interval = std::chrono::milliseconds(mode_ == ProgressMode::Json ? 250 : 100);
    if (!force && drawn_ && now - lastDraw_ < interval) return;
    lastDraw_ = now;
    if (mode_ == ProgressMode::Bar) return DrawBar();
    const size_t frames = frames_.load(std::memory_order_relaxed);
    double done = frames == 0 ? 0.0 : firstEnd_ + double(frames - 1) * frameSeconds_;
    if (total_ >= 0) done = std::min(done, total_);
    WriteJson(done, total_);
    drawn_ = true;
}

void Progress::Count(size_t done) {
    if (mode_ == ProgressMode::None) return;
    file_ = done;
    frames_.store(0, std::memory_order_relaxed);
    if (mode_ == ProgressMode::Bar) return Draw();
    // What wraps the tool hears the count as often as a file's seconds, and always the last.
    const auto now = std::chrono::steady_clock::now();
    if (done < files_ && drawn_ && now - lastDraw_ < std::chrono::milliseconds(250)) return;
    lastDraw_ = now;
    drawn_ = true;
    const Json line = {{"stage", label_}, {unit_ + "s_done", done}, {unit_ + "s", files_}};
    std::fprintf(stderr, "%s\n", JsonText(line, {}).c_str());
    std::fflush(stderr);
}

void Progress::DrawBar() {
    const double within =
        std::min(1.0, double(frames_.load(std::memory_order_relaxed)) / double(fileFrames_));
    const double done = (double(file_) + within) / double(std::max<size_t>(files_, 1));
    constexpr int kWidth = 30;
    const int filled = static_cast<int>(done * kWidth);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.resize(kWidth, ' ');
    std::fprintf(stderr, "\r%s [%s] %3d%%  %s %zu/%zu", label_.c_str(), bar.c_str(),
                 static_cast<int>(done * 100), unit_.c_str(), std::min(file_ + 1, files_), files_);
    std::fflush(stderr);
    drawn_ = true;
}

void Progress::FinishFile(double seconds) {
    if (mode_ == ProgressMode::Json) WriteJson(seconds, seconds);
}

void Progress::WriteJson(double done, double total) {
    const Json line = {{"file", name_},
                       {"seconds_done", Milliseconds(done)},
                       {"seconds_total", total >= 0 ? Json(Milliseconds(total)) : Json(nullptr)},
                       {"file_index", file_ + 1},
                       {"files", files_}};
    const std::string text = JsonText(line, {.significant = 15});
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
}

void Progress::Message(const std::string& line) {
    Erase();
    std::fprintf(stderr, "%s\n", line.c_str());
    if (mode_ == ProgressMode::Bar) Draw(true);
}

void Progress::Erase() {
    if (mode_ != ProgressMode::Bar || !drawn_) return;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    drawn_ = false;
}

}  // namespace Vocetta::Tool
