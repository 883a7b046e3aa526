// A progress bar on stderr, drawn only when stderr is a terminal, refreshed at most ten times a
// second and erased when the work ends.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>

namespace Vocetta::Tool {

class Progress {
  public:
    Progress(std::string label, size_t files, bool enabled);
    ~Progress();

    void StartFile(size_t index, size_t frames);
    void AddFrames(size_t frames) { frames_.fetch_add(frames, std::memory_order_relaxed); }
    void Draw(bool force = false);
    // Prints a line above the bar (errors while the bar is shown).
    void Message(const std::string& line);

  private:
    void Erase();

    std::string label_;
    size_t files_;
    bool enabled_;
    size_t file_ = 0;
    size_t fileFrames_ = 1;
    std::atomic<size_t> frames_{0};
    std::chrono::steady_clock::time_point lastDraw_{};
    bool drawn_ = false;
};

}  // namespace Vocetta::Tool
