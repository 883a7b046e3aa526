// Every subcommand's options and help behave alike, whichever way they are spelt.
#include "test_tool_support.hpp"

namespace Vocetta::Testing {
namespace {

class ToolCommandLine : public ToolTest {};

TEST_F(ToolCommandLine, HelpIsOneTextReachedEveryWay) {
    for (const char* command : {"analyze", "calibrate", "render", "evaluate", "preview", "info"}) {
        SCOPED_TRACE(command);
        const ToolRun help = Run({"help", command});
        const ToolRun flag = Run({command, "--help"});
        const ToolRun shortFlag = Run({command, "-h"});
        ASSERT_EQ(help.status, 0) << help.err;
        EXPECT_EQ(help.out, flag.out);
        EXPECT_EQ(help.out, shortFlag.out);
        EXPECT_NE(help.out.find(std::string("vocetta ") + command), std::string::npos);
        EXPECT_EQ(flag.status, 0);
        EXPECT_EQ(shortFlag.status, 0);
    }
    // The general help is not a command's.
    EXPECT_EQ(Run({"help"}).out.find("--output"), std::string::npos);
}

TEST_F(ToolCommandLine, OptionsListedAreOptionsAccepted) {
    // calibrate names its starting profile with --base, so -p is neither listed nor taken.
    const ToolRun help = Run({"calibrate", "--help"});
    EXPECT_EQ(help.out.find("--profile"), std::string::npos) << help.out;
    const ToolRun run = Run({"calibrate", "-p", "x.json", "m.csv", "-o", Path("p.json")});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("unknown option '-p'"), std::string::npos) << run.err;

    // info takes --library like the rest, in both spellings.
    const std::string library = VOCETTA_BINARY_DIR "/libvocetta.so";
    for (const std::string& spelling : {"--library=" + library, std::string("--library")}) {
        std::vector<std::string> arguments = {"info", spelling};
        if (spelling == "--library") arguments.push_back(library);
        const ToolRun info = Run(arguments);
        EXPECT_EQ(info.status, 0) << info.err;
        EXPECT_NE(info.out.find("entries:       23"), std::string::npos) << info.out;
    }
    const ToolRun stray = Run({"info", "extra"});
    EXPECT_EQ(stray.status, 2);
    EXPECT_NE(stray.err.find("unexpected argument 'extra'"), std::string::npos) << stray.err;
}

TEST_F(ToolCommandLine, ValuesAttachInEveryUsualWay) {
    const std::string wav = Path("a.wav");
    Write(wav, WavBytes(16000, 1, Vowel(16000, 0.3, 700, 1200)));
    const ToolRun plain = Run({"analyze", wav, "-q", "-j", "1", "--hop", "20"});
    ASSERT_EQ(plain.status, 0) << plain.err;
    for (const std::vector<std::string>& spelling :
         {std::vector<std::string>{"analyze", "-qj1", "--hop=20", wav},
          std::vector<std::string>{"analyze", "--quiet", "--jobs=1", "--hop", "20", "--", wav}}) {
        const ToolRun run = Run(spelling);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, plain.out);
    }
}

}  // namespace
}  // namespace Vocetta::Testing
