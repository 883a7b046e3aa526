#include "progress.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace Vocetta::Tool {

Progress::Progress(std::string label, size_t files, bool enabled)
    : label_(std::move(label)), files_(files), enabled_(enabled && ::isatty(STDERR_FILENO) == 1) {}

Progress::~Progress() {
    Erase();
}

void Progress::StartFile(size_t index, size_t frames) {
    file_ = index;
    fileFrames_ = std::max<size_t>(frames, 1);
    frames_.store(0, std::memory_order_relaxed);
    Draw();
}

void Progress::Draw(bool force) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && drawn_ && now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    const double within =
        std::min(1.0, double(frames_.load(std::memory_order_relaxed)) / double(fileFrames_));
    const double done = (double(file_) + within) / double(std::max<size_t>(files_, 1));
    constexpr int kWidth = 30;
    const int filled = static_cast<int>(done * kWidth);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.resize(kWidth, ' ');
    std::fprintf(stderr, "\r%s [%s] %3d%%  file %zu/%zu", label_.c_str(), bar.c_str(),
                 static_cast<int>(done * 100), std::min(file_ + 1, files_), files_);
    std::fflush(stderr);
    drawn_ = true;
}

void Progress::Message(const std::string& line) {
    Erase();
    std::fprintf(stderr, "%s\n", line.c_str());
    Draw(true);
}

void Progress::Erase() {
    if (!enabled_ || !drawn_) return;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    drawn_ = false;
}

}  // namespace Vocetta::Tool
