// Writing results so that a failed run never leaves a file that looks complete and nothing a user
// owns is replaced by accident. A new or regular file (a symlink is followed to its target, and
// stays a link) is written to a hidden temporary file beside it and renamed over it only once it is
// whole; FIFOs, character devices and standard output ("-") are written straight. Every write and
// the close are checked; a failure is a ToolError naming the output.
#pragma once

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace Vocetta::Tool {

class OutputFile {
  public:
    explicit OutputFile(const std::string& path);
    ~OutputFile();  // without Commit: the temporary file is removed
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    std::FILE* stream() const { return file_; }
    void Write(std::string_view text);
    void Flush();   // for output that a reader follows while it is made
    void Commit();  // closes, checks, renames into place
    // Written straight (standard output, a FIFO, a device): a reader sees each write as it comes.
    bool Straight() const { return temporary_.empty(); }

  private:
    [[noreturn]] void Fail(int error);

    std::string path_, target_, temporary_;  // temporary_ empty when written straight
    std::FILE* file_ = nullptr;
    bool committed_ = false;
};

// UsageError when `output` is one of `inputs` (the same file, by device and inode, whatever the
// names), so that a result is never written over the recording it came from.
void CheckOutputIsNoInput(const std::string& output, const std::vector<std::string>& inputs);

// "-" means standard output, written in one piece at the end.
void WriteOutput(const std::string& path, const std::string& text);
// For binary writers (PNG): `write` fills the temporary file; the rename happens if it returns.
void WriteOutputWith(const std::string& path, void (*write)(std::FILE* file, const void* context),
                     const void* context);

std::string FormatNumber(double value, int significant = 6);  // NaN and infinities as "nan", "inf"

// JSON documents are built as nlohmann values (keys in insertion order) and written by JsonText,
// whose layout keeps them readable line by line: an object, or an array that holds objects or
// arrays, nested less than `spread` deep takes one line per member (indented two spaces a level);
// everything else stays on one line with ", " and ": " between. Strings and whole numbers are
// nlohmann's text (bytes that are not UTF-8 become U+FFFD); a fraction gets `significant` digits
// (printf's %g), or exactly `decimals` decimals when that is 0 or more, so that the tool's files
// keep their fixed precision (cue times in hundredths); a value that is not finite is null.
using Json = nlohmann::ordered_json;
struct JsonLayout {
    int spread = 0;
    int significant = 6;
    int decimals = -1;
};
std::string JsonText(const Json& value, const JsonLayout& layout = {});
std::string CsvField(const std::string& text, char separator);

}  // namespace Vocetta::Tool
