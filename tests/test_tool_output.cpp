// What the tool writes never destroys what a user owns: a file already there is kept unless
// --force says otherwise, links stay links, FIFOs stay FIFOs and get the data, an output that is
// one of the inputs is refused, an interrupted run leaves no file, and a write that fails (standard
// output on a full device included) is a message and a failing exit, never a silent success.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

#include "test_tool_support.hpp"

namespace Vocetta::Testing {
namespace {

class ToolOutput : public CalibratedToolTest {
  protected:
    void SetUp() override {
        CalibratedToolTest::SetUp();
        if (IsSkipped()) return;
        recording_ = WriteWav("voice.wav", 16000, Vowel(16000, 0.5, 700, 1200));
        const ToolRun run = Run({"analyze", recording_, "-q"});
        ASSERT_EQ(run.status, 0) << run.err;
        ASSERT_FALSE(run.out.empty());
        expected_ = run.out;
    }

    static bool IsLink(const std::string& path) {
        struct stat status {};
        return ::lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
    }

    std::string recording_, expected_;  // a recording and its frames on standard output
};

TEST_F(ToolOutput, SymlinkIsFollowedAndKept) {
    std::filesystem::create_directories(Path("results"));
    Write(Path("results/real.csv"), "an earlier result\n");
    std::filesystem::create_symlink("results/real.csv", Path("link.csv"));
    ToolRun run = Run({"analyze", recording_, "-q", "--force", "-o", Path("link.csv")});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(IsLink(Path("link.csv")));
    EXPECT_EQ(Read(Path("results/real.csv")), expected_);

    // A link to a file that does not exist yet creates that file.
    std::filesystem::create_symlink("results/new.csv", Path("dangling.csv"));
    run = Run({"analyze", recording_, "-q", "-o", Path("dangling.csv")});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(IsLink(Path("dangling.csv")));
    EXPECT_EQ(Read(Path("results/new.csv")), expected_);
    // No temporary file is left behind anywhere.
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder_)) {
        EXPECT_EQ(entry.path().filename().string().find(".partial"), std::string::npos)
            << entry.path();
    }
}

TEST_F(ToolOutput, ReplacedFileKeepsItsPermissions) {
    const std::string output = Path("result.csv");
    Write(output, "old\n");
    std::filesystem::permissions(output, std::filesystem::perms::owner_read |
                                             std::filesystem::perms::owner_write |
                                             std::filesystem::perms::group_read);
    const ToolRun run = Run({"analyze", recording_, "-q", "--force", "-o", output});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Read(output), expected_);
    EXPECT_EQ(std::filesystem::status(output).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                  std::filesystem::perms::group_read);
}

// Refused before any work, naming the file, with nothing written anywhere; --force replaces it.
TEST_F(ToolOutput, ExistingOutputIsKeptWithoutForce) {
    const std::string profile = CalibratedProfile();
    const std::string manifest = Path("calibration.csv");
    const std::string earlier = "an earlier result\n";
    std::filesystem::create_directories(Path("out"));
    for (const char* name : {"kept.csv", "kept.png", "kept.html", "kept.json", "out/voice.csv"})
        Write(Path(name), earlier);
    std::filesystem::create_symlink("kept.csv", Path("link.csv"));
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"kept.csv", {"analyze", recording_, "-q", "-o", Path("kept.csv")}},
        {"link.csv", {"analyze", recording_, "-q", "-o", Path("link.csv")}},
        // Rows that follow the analysis open their file only once the first frame is known.
        {"kept.csv",
         {"analyze", recording_, "-q", "--no-smoothing", "--silence", "-40", "-o",
          Path("kept.csv")}},
        {"out/voice.csv", {"analyze", recording_, "-q", "-o", Path("out")}},
        {"kept.png", {"render", recording_, "-q", "-o", Path("kept.png")}},
        {"kept.html", {"preview", recording_, "-q", "-o", Path("kept.html")}},
        {"kept.json", {"adapt", recording_, "-q", "-p", profile, "-o", Path("kept.json")}},
        {"kept.json", {"calibrate", manifest, "-q", "-o", Path("kept.json")}},
        {"kept.csv",
         {"calibrate", manifest, "-q", "-o", Path("new.json"), "--frames", Path("kept.csv")}},
    };
    const std::vector<std::string> before = Files();
    for (const auto& [name, command] : cases) {
        SCOPED_TRACE(command[0] + " -> " + name);
        const ToolRun run = Run(command);
        EXPECT_EQ(run.status, 2) << run.err;
        EXPECT_NE(run.err.find(Path(name) + ": already exists; --force replaces it"),
                  std::string::npos)
            << run.err;
        EXPECT_EQ(Read(Path(name)), earlier);
        EXPECT_EQ(Files(), before);
    }
    for (const auto& [output, written] : {std::pair{Path("kept.csv"), Path("kept.csv")},
                                          std::pair{Path("out"), Path("out/voice.csv")}}) {
        const ToolRun run = Run({"analyze", recording_, "-q", "--force", "-o", output});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(Read(written), expected_);
    }
    const ToolRun run = Run({"calibrate", manifest, "-q", "--force", "-o", Path("kept.json"),
                             "--frames", Path("kept.csv")});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(Read(Path("kept.json")).find("\"format\": \"vocetta-profile\""), std::string::npos);
    EXPECT_EQ(Read(Path("kept.csv")).rfind("file,time,phoneme,volume,mfcc1", 0), 0u);
}

TEST_F(ToolOutput, FifoReaderGetsEverythingAndTheFifoStays) {
    const std::string fifo = Path("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string received;
    std::thread reader([&] {
        const int descriptor = ::open(fifo.c_str(), O_RDONLY);
        if (descriptor < 0) return;
        char buffer[4096];
        for (ssize_t got; (got = ::read(descriptor, buffer, sizeof buffer)) > 0;)
            received.append(buffer, static_cast<size_t>(got));
        ::close(descriptor);
    });
    const ToolRun run = Run({"analyze", recording_, "-q", "-o", fifo});
    // Should the tool never have opened the FIFO, this lets the reader go.
    const int unblock = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (unblock >= 0) ::close(unblock);
    reader.join();
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(received, expected_);
    struct stat status {};
    ASSERT_EQ(::lstat(fifo.c_str(), &status), 0);
    EXPECT_TRUE(S_ISFIFO(status.st_mode));
}

TEST_F(ToolOutput, OutputThatIsAnInputIsRefused) {
    const std::string original = Read(recording_);
    // By its own name, through a hard link and through a symlink.
    std::filesystem::create_hard_link(recording_, Path("same.wav"));
    std::filesystem::create_symlink("voice.wav", Path("alias.wav"));
    for (const std::string& output : {recording_, Path("same.wav"), Path("alias.wav")}) {
        SCOPED_TRACE(output);
        const ToolRun run = Run({"analyze", recording_, "-q", "-o", output});
        EXPECT_EQ(run.status, 2);
        EXPECT_NE(run.err.find(output + ": is also an input"), std::string::npos) << run.err;
        EXPECT_TRUE(Read(recording_) == original);
    }
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"render", recording_, "-o", recording_},
          std::vector<std::string>{"preview", recording_, "-o", recording_}}) {
        SCOPED_TRACE(command[0]);
        const ToolRun run = Run(command);
        EXPECT_EQ(run.status, 2);
        EXPECT_NE(run.err.find("is also an input"), std::string::npos) << run.err;
        EXPECT_TRUE(Read(recording_) == original);
    }
    // The profile is an input too, and so are a calibration's manifest and its recordings.
    const std::string profile = CalibratedProfile();
    const std::string profileText = Read(profile);
    ToolRun run = Run({"analyze", recording_, "-q", "-p", profile, "-o", profile});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(Read(profile), profileText);
    const std::string manifest = Path("calibration.csv");
    const std::string manifestText = Read(manifest);
    for (const std::string& output : {manifest, Path("hiss.wav")}) {
        const std::string before = Read(output);
        run = Run({"calibrate", manifest, "-q", "--force", "-o", output});
        EXPECT_EQ(run.status, 2) << output;
        EXPECT_NE(run.err.find("is also an input"), std::string::npos) << run.err;
        EXPECT_TRUE(Read(output) == before);
        // The frames calibrate writes beside the profile are an output too.
        run = Run(
            {"calibrate", manifest, "-q", "--force", "-o", Path("new.json"), "--frames", output});
        EXPECT_EQ(run.status, 2) << output;
        EXPECT_NE(run.err.find("is also an input"), std::string::npos) << run.err;
        EXPECT_TRUE(Read(output) == before);
    }
    // Frames under the profile's own name would be lost to the profile written after them.
    run =
        Run({"calibrate", manifest, "-q", "-o", Path("new.json"), "--frames", Path("./new.json")});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("is the profile's file too"), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(Path("new.json")));
}

// Rows that follow a stream go to a temporary file until the stream ends; a signal that ends the
// run takes that file with it, and the process still ends by that signal.
TEST_F(ToolOutput, InterruptedRunLeavesNoFileBehind) {
    std::signal(SIGPIPE, SIG_IGN);  // a tool that fails early must fail the test, not end it
    std::string stream = WavBytes(16000, 1, Vowel(16000, 1.0, 700, 1200));
    for (size_t offset : {size_t(4), size_t(40)})  // a recorder's header: no length yet
        std::fill_n(stream.begin() + static_cast<std::ptrdiff_t>(offset), 4, '\xff');
    const std::vector<std::string> before = Files();
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        int feed[2];
        ASSERT_EQ(::pipe(feed), 0);
        const std::string tool = VOCETTA_BINARY_DIR "/vocetta", output = Path("rows.csv");
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::dup2(feed[0], STDIN_FILENO);
            ::close(feed[0]);
            ::close(feed[1]);
            const int quiet = ::open("/dev/null", O_WRONLY);
            ::dup2(quiet, STDOUT_FILENO);
            ::dup2(quiet, STDERR_FILENO);
            std::signal(signal, SIG_DFL);  // as a shell starts a job in the foreground
            ::execl(tool.c_str(), "vocetta", "analyze", "-", "-q", "-o", output.c_str(), nullptr);
            ::_exit(127);
        }
        ::close(feed[0]);
        ASSERT_EQ(::write(feed[1], stream.data(), stream.size()),
                  static_cast<ssize_t>(stream.size()));
        // The rows so far are in the temporary file once it appears; the stream stays open.
        bool writing = false;
        for (int wait = 0; wait < 600 && !writing; ++wait) {
            for (const std::string& name : Files())
                writing = writing || name.find(".rows.csv.partial") == 0;
            if (!writing) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        EXPECT_TRUE(writing);
        ASSERT_EQ(::kill(child, signal), 0);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ::close(feed[1]);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        EXPECT_EQ(Files(), before);
    }
}

TEST_F(ToolOutput, FullStandardOutputFails) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"analyze", recording_, "-q"},
          std::vector<std::string>{"analyze", recording_, "-q", "--cues"},
          std::vector<std::string>{"analyze", "--help"}, std::vector<std::string>{"--help"},
          std::vector<std::string>{"info"}}) {
        SCOPED_TRACE(command.front() + " " + command.back());
        const ToolRun run = Run(command, "/dev/full");
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find("standard output: cannot write"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find(std::strerror(ENOSPC)), std::string::npos) << run.err;
    }
}

}  // namespace
}  // namespace Vocetta::Testing
