// Progress on stderr: a bar, drawn only when stderr is a terminal, refreshed at most ten times a
// second and erased when the work ends; or, for programs that wrap the tool, one JSON object per
// line ({"file", "seconds_done", "seconds_total", ...}) at most four times a second per file and
// once when each file is done.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>

namespace Vocetta::Tool {

enum class ProgressMode { None, Bar, Json };

// "bar" or "json"; throws UsageError for anything else.
ProgressMode ParseProgressMode(const std::string& text);

class Progress {
  public:
    // `unit` names what is counted: "file", or "line" for transcripts phonemised before the audio.
    Progress(std::string label, size_t files, ProgressMode mode, std::string unit = "file");
    ~Progress();

    // `frames` is the number of frames expected (0: unknown); frame k ends `firstEnd + k *
    // frameSeconds` seconds into the recording, which lasts `totalSeconds` (negative: unknown).
    void StartFile(size_t index, size_t frames, const std::string& name = "",
                   double totalSeconds = -1, double firstEnd = 0, double frameSeconds = 0);
    void AddFrames(size_t frames) { frames_.fetch_add(frames, std::memory_order_relaxed); }
    void Draw(bool force = false);
    // Work counted in whole items alone, `done` of them so far: on the bar, or as JSON lines
    // {"stage": LABEL, "UNITs_done": done, "UNITs": count}.
    void Count(size_t done);
    // The file ended after `seconds` (its whole length): the last JSON line of the file.
    void FinishFile(double seconds);
    // Prints a line above the bar (errors while the bar is shown).
    void Message(const std::string& line);

  private:
    void Erase();
    void DrawBar();
    void WriteJson(double done, double total);

    std::string label_, unit_;
    size_t files_;
    ProgressMode mode_;
    size_t file_ = 0;
    size_t fileFrames_ = 1;
    std::string name_;
    double total_ = -1, firstEnd_ = 0, frameSeconds_ = 0;
    std::atomic<size_t> frames_{0};
    std::chrono::steady_clock::time_point lastDraw_{};
    bool drawn_ = false;
};

}  // namespace Vocetta::Tool
