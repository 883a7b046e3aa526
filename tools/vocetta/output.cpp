#include "output.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "error.hpp"

namespace Vocetta::Tool {
namespace {

std::string TemporaryPath(const std::string& path) {
    const std::filesystem::path target(path);
    std::filesystem::path temporary = target.parent_path();
    std::string name = ".";
    name += target.filename().string();
    name += ".partial-";
    name += std::to_string(::getpid());
    temporary /= name;
    return temporary.string();
}

// The file a chain of symlinks ends at, whether or not it exists yet, so that writing through a
// link replaces its target and keeps the link.
std::string FollowLinks(const std::string& path) {
    std::filesystem::path current(path);
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code error;
        if (!std::filesystem::is_symlink(current, error)) return current.string();
        const std::filesystem::path target = std::filesystem::read_symlink(current, error);
        if (error) return current.string();
        current = target.is_absolute() ? target : current.parent_path() / target;
    }
    throw ToolError(path + ": too many levels of symbolic links");
}

// The temporary files being written, for a signal that ends the run to take with it: the paths are
// the OutputFiles' own strings, valid while listed. The tool writes one or two files at a time.
std::atomic<const char*> gTemporaries[8];

void ListTemporary(const char* path) {
    for (std::atomic<const char*>& slot : gTemporaries) {
        const char* empty = nullptr;
        if (slot.compare_exchange_strong(empty, path)) return;
    }
}

void UnlistTemporary(const char* path) {
    for (std::atomic<const char*>& slot : gTemporaries) {
        const char* listed = path;
        if (slot.compare_exchange_strong(listed, nullptr)) return;
    }
}

extern "C" void RemoveTemporariesAndEnd(int signal) {
    for (std::atomic<const char*>& slot : gTemporaries) {
        if (const char* path = slot.load()) ::unlink(path);
    }
    // The handler was reset on entry: once it returns, the signal ends the process as it would
    // have, so that the caller sees which one.
    ::raise(signal);
}

std::string AlreadyThere(const std::string& path) {
    return path + ": already exists; --force replaces it";
}

// Moves the finished file into place unless another file got there first (the user's, made while
// the tool ran): 0, or the errno of the failure (EEXIST for that file).
int PlaceWithoutReplacing(const std::string& temporary, const std::string& target) {
    if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    // A file system without the atomic form: a second name fails as well where one exists.
    if (::link(temporary.c_str(), target.c_str()) != 0) return errno;
    ::unlink(temporary.c_str());
    return 0;
}

}  // namespace

OutputFile::OutputFile(const std::string& path, Existing existing)
    : path_(path), target_(path), existing_(existing) {
    if (path == "-") {
        file_ = stdout;
        return;
    }
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0) {
        if (S_ISDIR(status.st_mode)) {
            throw ToolError(path + ": is a directory; name the output file");
        }
        if (S_ISFIFO(status.st_mode) || S_ISCHR(status.st_mode)) {
            // A reader waits at the other end, or the device is the destination itself.
            file_ = std::fopen(path.c_str(), "wb");
            if (file_ == nullptr) throw ToolError(path + ": cannot open: " + std::strerror(errno));
            return;
        }
        if (!S_ISREG(status.st_mode)) {
            throw ToolError(path + ": is neither a regular file, a FIFO nor a character device");
        }
        if (existing == Existing::Refuse) throw ToolError(AlreadyThere(path));
    }
    // A symlink keeps being one: the file it points to is replaced.
    target_ = FollowLinks(path);
    temporary_ = TemporaryPath(target_);
    // Listed before it exists: a signal that arrives between its creation and its listing would
    // leave it behind. Unlinking a name not yet created costs nothing.
    ListTemporary(temporary_.c_str());
    // Created afresh, never through a link or into a file someone else holds open.
    const auto create = [this] {
        return ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    };
    int descriptor = create();
    if (descriptor < 0 && errno == EEXIST) {
        // Left by an earlier run that had this process id and was killed outright.
        ::unlink(temporary_.c_str());
        descriptor = create();
    }
    if (descriptor < 0) {
        const int error = errno;
        UnlistTemporary(temporary_.c_str());
        throw ToolError(path + ": cannot create: " + std::strerror(error));
    }
    file_ = ::fdopen(descriptor, "wb");
    if (file_ == nullptr) {
        const int error = errno;
        ::close(descriptor);
        DiscardTemporary();
        throw ToolError(path + ": cannot create: " + std::strerror(error));
    }
    // A file that is replaced keeps its permissions.
    struct stat replaced {};
    if (::stat(target_.c_str(), &replaced) == 0) {
        (void)::fchmod(::fileno(file_), replaced.st_mode & 07777);
    }
}

OutputFile::~OutputFile() {
    if (committed_ || file_ == nullptr) return;
    if (file_ != stdout) std::fclose(file_);
    if (!temporary_.empty()) DiscardTemporary();
}

// Removed before it leaves the signal handler's list: a signal in between finds no file to take.
void OutputFile::DiscardTemporary() {
    ::unlink(temporary_.c_str());
    UnlistTemporary(temporary_.c_str());
}

void OutputFile::Fail(int error) {
    const std::string name = file_ == stdout ? std::string("standard output") : path_;
    throw ToolError(name + ": cannot write: " + std::strerror(error));
}

void OutputFile::Write(std::string_view text) {
    if (std::fwrite(text.data(), 1, text.size(), file_) != text.size()) Fail(errno);
}

void OutputFile::Flush() {
    if (std::fflush(file_) != 0) Fail(errno);
}

void OutputFile::Commit() {
    if (std::fflush(file_) != 0 || std::ferror(file_) != 0) Fail(errno != 0 ? errno : EIO);
    committed_ = true;
    if (file_ == stdout) return;
    std::FILE* file = file_;
    file_ = nullptr;
    if (std::fclose(file) != 0) {
        const int error = errno;
        if (!temporary_.empty()) DiscardTemporary();
        throw ToolError(path_ + ": cannot write: " + std::strerror(error));
    }
    if (temporary_.empty()) return;
    const int error = existing_ == Existing::Replace
                          ? (std::rename(temporary_.c_str(), target_.c_str()) == 0 ? 0 : errno)
                          : PlaceWithoutReplacing(temporary_, target_);
    // Only now: a signal before the rename must still find the temporary file.
    UnlistTemporary(temporary_.c_str());
    if (error != 0) {
        std::remove(temporary_.c_str());
        if (error == EEXIST) throw ToolError(AlreadyThere(path_) + " (it appeared while writing)");
        throw ToolError(path_ + ": cannot write: " + std::strerror(error));
    }
}

void RemoveTemporariesOnSignals() {
    for (const int signal : {SIGHUP, SIGINT, SIGTERM}) {
        struct sigaction current {};
        // A job started in the background ignores SIGINT, and keeps ignoring it.
        if (::sigaction(signal, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = RemoveTemporariesAndEnd;
        sigfillset(&action.sa_mask);
        action.sa_flags = SA_RESETHAND;
        ::sigaction(signal, &action, nullptr);
    }
}

void CheckOutput(const std::string& output, const std::vector<std::string>& inputs,
                 Existing existing) {
    struct stat out {};
    if (output == "-" || ::stat(output.c_str(), &out) != 0 || !S_ISREG(out.st_mode)) return;
    for (const std::string& input : inputs) {
        struct stat in {};
        if (input != "-" && ::stat(input.c_str(), &in) == 0 && in.st_dev == out.st_dev &&
            in.st_ino == out.st_ino) {
            throw UsageError(output + ": is also an input (" + input +
                             "); name another output file");
        }
    }
    if (existing == Existing::Refuse) throw UsageError(AlreadyThere(output));
}

void WriteOutputWith(const std::string& path, void (*write)(std::FILE* file, const void* context),
                     const void* context, Existing existing) {
    OutputFile output(path, existing);
    write(output.stream(), context);
    output.Commit();
}

void WriteOutput(const std::string& path, const std::string& text, Existing existing) {
    OutputFile output(path, existing);
    output.Write(text);
    output.Commit();
}

std::string CsvField(const std::string& text, char separator) {
    if (separator == '\t') {
        std::string out = text;
        for (char& c : out) {
            if (c == '\t' || c == '\n' || c == '\r') c = ' ';
        }
        return out;
    }
    if (text.find_first_of(",\"\n\r") == std::string::npos) return text;
    std::string out = "\"";
    for (const char c : text) {
        out += c;
        if (c == '"') out += '"';
    }
    return out + "\"";
}

namespace {

int& StandardOutputErrno() {
    static int error = 0;
    return error;
}

}  // namespace

void PutStandardOutput(const std::string& text) {
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() &&
        StandardOutputErrno() == 0) {
        StandardOutputErrno() = errno != 0 ? errno : EIO;
    }
}

int StandardOutputError() {
    return StandardOutputErrno();
}

}  // namespace Vocetta::Tool
