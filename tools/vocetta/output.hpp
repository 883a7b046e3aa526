// Writing results so that a failed run never leaves a file that looks complete and nothing a user
// owns is replaced by accident. A new or regular file (a symlink is followed to its target, and
// stays a link) is written to a hidden temporary file beside it and renamed into place only once
// it is whole; a file already there is replaced only when the caller allows it (the tool's
// --force). FIFOs, character devices and standard output ("-") are written straight. Every write
// and the close are checked; a failure is a ToolError naming the output.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "vocetta/text.hpp"

namespace Vocetta::Tool {

// What becomes of a file that already exists under an output's name.
enum class Existing {
    Refuse,   // an error naming it, before anything is written (the tool without --force)
    Replace,  // replaced once the new file is whole, keeping its permissions
};

class OutputFile {
  public:
    OutputFile(const std::string& path, Existing existing);
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
    void DiscardTemporary();  // the unfinished file, gone

    std::string path_, target_, temporary_;  // temporary_ empty when written straight
    std::FILE* file_ = nullptr;
    bool committed_ = false;
    Existing existing_;
};

// Once, at the start of the tool: a hang-up, interrupt or termination removes the temporary files
// being written before it ends the process, so that an interrupted run leaves nothing behind.
void RemoveTemporariesOnSignals();

// Checked before any work, so that a long run does not end in a refusal: UsageError when
// `output` is one of `inputs` (the same file, by device and inode, whatever the names), so that a
// result is never written over the recording it came from, and, with Existing::Refuse, when a
// regular file is already there.
void CheckOutput(const std::string& output, const std::vector<std::string>& inputs,
                 Existing existing);

// "-" means standard output, written in one piece at the end.
void WriteOutput(const std::string& path, const std::string& text, Existing existing);
// For binary writers (PNG): `write` fills the temporary file; the rename happens if it returns.
void WriteOutputWith(const std::string& path, void (*write)(std::FILE* file, const void* context),
                     const void* context, Existing existing);

// Text for standard output outside OutputFile (help): stdio keeps only that a write failed, so
// the reason is kept here for the exit's message (0 while every write went through).
void PutStandardOutput(const std::string& text);
int StandardOutputError();

// Numbers, markup and JSON as the SDK writes them (vocetta/text.hpp).
using Host::EscapeMarkup;
using Host::FormatFixed;
using Host::FormatNumber;
using Host::Json;
using Host::JsonLayout;
using Host::JsonText;

std::string CsvField(const std::string& text, char separator);

}  // namespace Vocetta::Tool
