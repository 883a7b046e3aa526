#include "transcript.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "error.hpp"
#include "manifest.hpp"
#include "vocetta/live_labels.hpp"
#include "vocetta/transcript.hpp"

extern char** environ;

namespace Vocetta::Tool {

namespace {

// A transcript is a line or a scene's worth of words, never more than this.
constexpr std::uintmax_t kLargestTranscript = 1 << 20;
// How long espeak-ng may go without a word: it phonemises some 20 kB a second, a clause at a time.
constexpr int kPhonemiserPatienceMs = 10 * 1000;
// Lines shorter than this end a clause when each written word is phonemised alone.
constexpr size_t kClauseLine = 1000;

class Pipe {
  public:
    Pipe() {
        if (pipe2(ends_, O_CLOEXEC) != 0) throw ToolError(std::string("pipe: ") + strerror(errno));
    }
    ~Pipe() {
        Close(0);
        Close(1);
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    int operator[](int end) const { return ends_[end]; }
    void Close(int end) {
        if (ends_[end] >= 0) close(ends_[end]);
        ends_[end] = -1;
    }

  private:
    int ends_[2] = {-1, -1};
};

bool Blank(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); });
}

std::string ReadTranscript(const std::string& path) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error))
        throw ToolError(path + ": no such transcript (a text file of the recording's words)");
    if (std::filesystem::file_size(path, error) > kLargestTranscript)
        throw ToolError(path + ": too large for a transcript (over 1 MiB)");
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    if (!file) throw ToolError(path + ": cannot read the transcript");
    return text.str();
}

// A line of a dialogue table: the recording its "file" column names, its words and voice.
struct ScriptLine {
    std::string where;  // table:line, for messages
    std::string file, text, language;
};

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The rows of a dialogue table: CSV (quoted fields may hold commas and quotes), or tab-separated
// when its name ends in .tsv or .tab (Ren'Py's dialogue.tab) or its header holds tabs and no
// comma (a spreadsheet's "tab delimited" text); a header row names the columns `fileName` and
// `textName` ("file" and "text" unless --script-columns says), and optionally "language", in any
// case, among any others (a speaker, a note, other languages' lines). Rows that name no recording
// are left out.
std::vector<ScriptLine> ReadScript(const std::string& path, const std::string& fileName,
                                   const std::string& textName) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error))
        throw ToolError(path +
                        ": no such dialogue table (a CSV file of recordings and their words)");
    std::ifstream stream(path, std::ios::binary);
    if (!stream) throw ToolError(path + ": cannot open the dialogue table: " + strerror(errno));
    const std::string extension = Lower(std::filesystem::path(path).extension().string());
    bool tabs = extension == ".tsv" || extension == ".tab";
    std::vector<ScriptLine> lines;
    int fileColumn = -1, textColumn = -1, languageColumn = -1;
    std::string line;
    for (int number = 1; std::getline(stream, line); ++number) {
        // Spreadsheet programs save UTF-8 with a byte-order mark in front of the header.
        if (number == 1 && line.starts_with("\xEF\xBB\xBF")) line.erase(0, 3);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (Blank(line)) continue;
        const std::string where = path + ":" + std::to_string(number);
        if (fileColumn < 0 && line.find('\t') != std::string::npos &&
            line.find(',') == std::string::npos) {
            tabs = true;
        }
        std::vector<std::string> fields;
        if (tabs) {
            for (size_t at = 0;;) {
                const size_t tab = line.find('\t', at);
                std::string field = line.substr(at, tab == std::string::npos ? tab : tab - at);
                const size_t first = field.find_first_not_of(' ');
                field.erase(0, first == std::string::npos ? field.size() : first);
                field.erase(field.find_last_not_of(' ') + 1);
                fields.push_back(std::move(field));
                if (tab == std::string::npos) break;
                at = tab + 1;
            }
        } else {
            bool unclosed = false;
            fields = SplitCsvLine(line, &unclosed);
            if (unclosed) {
                throw ToolError(where +
                                ": a quote (\") opened in this row is not closed (a line's "
                                "words are one row of the table)");
            }
        }
        if (fileColumn < 0) {
            for (size_t i = 0; i < fields.size(); ++i) {
                const std::string name = Lower(fields[i]);
                const int column = static_cast<int>(i);
                if (name == Lower(fileName)) fileColumn = column;
                if (name == Lower(textName)) textColumn = column;
                if (name == "language") languageColumn = column;
            }
            if (fileColumn < 0 || textColumn < 0) {
                throw ToolError(where + ": the header must name the columns \"" + fileName +
                                "\" (the recording) and \"" + textName +
                                "\" (its words); --script-columns names others");
            }
            continue;
        }
        const auto field = [&](int column) {
            return static_cast<size_t>(column) < fields.size() ? fields[static_cast<size_t>(column)]
                                                               : std::string();
        };
        ScriptLine row{where, field(fileColumn), field(textColumn),
                       languageColumn < 0 ? std::string() : field(languageColumn)};
        // A table written on Windows names its folders with backslashes.
        std::replace(row.file.begin(), row.file.end(), '\\', '/');
        // A table also holds the lines no one records (a menu's text, a line not yet cast).
        if (!Blank(row.file)) lines.push_back(std::move(row));
    }
    if (stream.bad()) throw ToolError(path + ": cannot read the dialogue table");
    if (fileColumn < 0) throw ToolError(path + ": the dialogue table is empty");
    return lines;
}

// `path` whole, its links and dots resolved as far as it exists, so that two names of one file
// compare equal.
std::filesystem::path FullPath(const std::filesystem::path& path) {
    std::error_code error;
    std::filesystem::path full = std::filesystem::weakly_canonical(path, error);
    if (error) full = std::filesystem::absolute(path, error);
    return full;
}

// The names a table's row may give `input` by: its file name, with or without its extension, or
// its path (from the table's folder), with or without it.
std::vector<std::string> NamesOf(const std::string& input) {
    const std::filesystem::path path(input), full = FullPath(path);
    return {path.filename().string(), path.stem().string(), full.string(),
            std::filesystem::path(full).replace_extension().string()};
}

// Which of `lines` gives each input's words, checked: every input one line.
std::vector<const ScriptLine*> ScriptLinesOf(const std::vector<ScriptLine>& lines,
                                             const std::vector<std::string>& inputs,
                                             const std::string& table) {
    const std::filesystem::path folder = std::filesystem::path(table).parent_path();
    std::map<std::string, std::vector<size_t>> byName;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& file = lines[i].file;
        byName[file.find('/') == std::string::npos ? file : FullPath(folder / file).string()]
            .push_back(i);
    }
    std::vector<const ScriptLine*> found(inputs.size(), nullptr);
    std::map<size_t, size_t> readBy;  // row, the input it gives the words of
    for (size_t i = 0; i < inputs.size(); ++i) {
        if (inputs[i] == "-") throw UsageError("--script: standard input has no row in a table");
        std::set<size_t> rows;
        for (const std::string& name : NamesOf(inputs[i])) {
            const auto row = byName.find(name);
            if (row != byName.end()) rows.insert(row->second.begin(), row->second.end());
        }
        if (rows.empty()) {
            throw ToolError(table + ": no row names " + inputs[i] +
                            " (a row names its recording by its file name, with or without its "
                            "extension, or by its path from the table's folder)");
        }
        if (rows.size() > 1) {
            throw ToolError(lines[*rows.begin()].where + " and " +
                            lines[*std::next(rows.begin())].where + " both give the words of " +
                            inputs[i]);
        }
        found[i] = &lines[*rows.begin()];
        // en/line1.wav and de/line1.wav are two lines that one name would give the same words.
        const auto [first, added] = readBy.emplace(*rows.begin(), i);
        if (!added) {
            throw ToolError(found[i]->where + " names both " + inputs[first->second] + " and " +
                            inputs[i] + ": give each its path from the table's folder");
        }
    }
    return found;
}

// A recording's words: its text, what names the text in messages, and espeak-ng's voice.
struct Words {
    std::string text, source, language;
};

// Each line's transcript made on up to `threads` threads: espeak-ng takes some 10 ms a line (twice
// where its words are named), and a game's tens of thousands of lines would hold one processor for
// minutes before any audio.
// What the first line in order that fails threw is thrown, and no line after it is begun. The
// calling thread reports the lines done (bar or JSON), since those minutes would otherwise be
// silent.
template <typename Make>
std::vector<std::optional<Transcript>> InParallel(const std::vector<Words>& lines,
                                                  const BatchSettings& settings, const Make& make) {
    std::vector<std::optional<Transcript>> made(lines.size());
    std::vector<std::exception_ptr> errors(lines.size());
    std::atomic<size_t> next{0}, failed{lines.size()}, done{0};
    Progress progress(
        settings.progress == ProgressMode::Json ? "phonemising" : settings.command + " phonemising",
        lines.size(), settings.progress, "line");
    size_t shown = 0;  // the count last drawn, by the calling thread alone
    const auto show = [&] {
        if (done.load() != shown) progress.Count(shown = done.load());
    };
    const auto work = [&](bool draws) {
        for (size_t i = next++; i < lines.size() && i < failed.load(); i = next++) {
            try {
                made[i] = make(lines[i]);
            } catch (...) {
                errors[i] = std::current_exception();
                for (size_t first = failed.load();
                     i < first && !failed.compare_exchange_weak(first, i);) {
                }
            }
            ++done;
            if (draws) show();
        }
    };
    std::vector<std::thread> pool;
    const size_t workers = std::min(lines.size(), size_t(std::max(settings.threads, 1)));
    for (size_t t = 1; t < workers; ++t)
        pool.emplace_back(work, false);
    work(true);
    for (std::thread& thread : pool)
        thread.join();
    show();  // the lines the other threads finished last
    for (const std::exception_ptr& error : errors) {
        if (error) std::rethrow_exception(error);
    }
    return made;
}

}  // namespace

std::string CheckedPhones(std::string ipa, const std::string& source,
                          const std::vector<std::string>& names) {
    const std::vector<int> phones = Host::TranscriptLabels(ipa, names);
    if (phones.empty()) throw ToolError(source + ": no phones to align");
    // Phones that only sound like a class (t as silence) give the path too little to hold on to.
    if (std::all_of(phones.begin(), phones.end(), [](int label) {
            return label == -1 || label == Host::kPauseMayFall || label <= Host::kSoundsLikeBase;
        })) {
        throw ToolError(source + ": the profile's phonemes stand for none of its phones (" + ipa +
                        ")");
    }
    return ipa;
}

std::string SpokenWords(const std::string& text, const Reading& reading) {
    const std::string spoken = reading.literal ? text : Host::SpokenText(text);
    return reading.speakerNames ? Host::WithoutSpeakerNames(spoken) : spoken;
}

Transcript TranscriptOfWords(const std::string& text, const std::string& language,
                             const std::string& source, const Reading& reading,
                             const std::vector<std::string>& names, bool nameWords) {
    const std::string spoken = SpokenWords(text, reading);
    if (Blank(spoken) && !Blank(text)) {
        const std::string directions = reading.literal ? text : Host::SpokenText(text);
        if (!Blank(directions))
            throw ToolError(source + ": no words to say, only a speaker's name");
        throw ToolError(source + ": no words to say, only directions and markup; " +
                        reading.literalOption + " says them as words");
    }
    Transcript transcript;
    transcript.ipa = CheckedPhones(Phonemise(spoken, language, source), source, names);
    transcript.written = nameWords ? WrittenWordsOf(spoken, transcript.ipa, language, source)
                                   : Host::IpaWords(transcript.ipa);
    return transcript;
}

std::vector<std::optional<Transcript>> TranscriptsFor(const TranscriptArguments& arguments,
                                                      const std::vector<std::string>& inputs,
                                                      const Host::Profile& profile, bool smoothing,
                                                      const BatchSettings& settings,
                                                      bool nameWords) {
    const int given = !arguments.text.empty() + !arguments.textFile.empty() +
                      !arguments.ipa.empty() + arguments.beside + !arguments.script.empty();
    if (given > 1) {
        throw UsageError(
            "--text, --text-file, --ipa, --transcripts and --script exclude each other");
    }
    std::vector<std::optional<Transcript>> transcripts(inputs.size());
    if (given == 0) return transcripts;
    if (!smoothing) {
        throw UsageError(
            "a transcript aligns the smoothed track: it and --no-smoothing exclude "
            "each other");
    }
    int silence = 0;
    const std::vector<std::string> names = Host::LabelNames(profile, silence);
    const auto fromWords = [&](const Words& words) {
        return TranscriptOfWords(words.text, words.language, words.source,
                                 {arguments.literal, arguments.speakerNames}, names, nameWords);
    };
    if (!arguments.script.empty() || arguments.beside) {
        std::vector<Words> lines(inputs.size());
        if (!arguments.script.empty()) {
            const size_t comma = arguments.scriptColumns.find(',');
            const std::string fileName = arguments.scriptColumns.substr(0, comma);
            const std::string textName = comma == std::string::npos
                                             ? std::string()
                                             : arguments.scriptColumns.substr(comma + 1);
            if (Blank(fileName) || Blank(textName) || textName.find(',') != std::string::npos) {
                throw UsageError("--script-columns: '" + arguments.scriptColumns +
                                 "' is not two column names, FILE,TEXT");
            }
            const std::vector<ScriptLine> table = ReadScript(arguments.script, fileName, textName);
            const std::vector<const ScriptLine*> found =
                ScriptLinesOf(table, inputs, arguments.script);
            for (size_t i = 0; i < inputs.size(); ++i) {
                lines[i] = {found[i]->text, found[i]->where,
                            Blank(found[i]->language) ? arguments.language : found[i]->language};
            }
        } else {
            for (size_t i = 0; i < inputs.size(); ++i) {
                if (inputs[i] == "-")
                    throw UsageError("--transcripts: standard input has no .txt beside it");
                const std::string path =
                    std::filesystem::path(inputs[i]).replace_extension(".txt").string();
                lines[i] = {ReadTranscript(path), path, arguments.language};
            }
        }
        return InParallel(lines, settings, fromWords);
    }
    if (inputs.size() != 1) {
        throw UsageError(std::string(!arguments.text.empty()       ? "--text"
                                     : !arguments.textFile.empty() ? "--text-file"
                                                                   : "--ipa") +
                         " gives the words of one recording; --transcripts reads each "
                         "recording's own");
    }
    if (!arguments.ipa.empty()) {
        const std::string ipa = CheckedPhones(arguments.ipa, "--ipa", names);
        transcripts[0] = Transcript{ipa, Host::IpaWords(ipa)};
    } else if (!arguments.text.empty()) {
        transcripts[0] = fromWords({arguments.text, "--text", arguments.language});
    } else {
        transcripts[0] =
            fromWords({ReadTranscript(arguments.textFile), arguments.textFile, arguments.language});
    }
    return transcripts;
}

namespace {

// espeak-ng's IPA for `text`, as it writes it: a line per clause. With `linePerClause`, every line
// of `text` is a clause of its own.
std::string RunPhonemiser(const std::string& text, const std::string& language,
                          const std::string& source, bool linePerClause) {
    // The voice goes to espeak-ng as one argument of its own; one that looks like an option
    // would be read as one.
    const bool voice = !language.empty() && language[0] != '-' &&
                       std::all_of(language.begin(), language.end(), [](unsigned char c) {
                           return std::isalnum(c) || c == '-' || c == '_' || c == '+';
                       });
    if (!voice) throw UsageError("--language: '" + language + "' is no espeak-ng voice name");
    // A phonemiser that exits before it has read the words (a voice it lacks) must not end the
    // tool with SIGPIPE: the write fails instead, and the signal it raised is taken back.
    sigset_t pipeSignal, before;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &before);
    struct Unblock {
        sigset_t& signal;
        sigset_t& before;
        ~Unblock() {
            const timespec now{0, 0};
            while (sigtimedwait(&signal, nullptr, &now) == SIGPIPE) {
            }
            pthread_sigmask(SIG_SETMASK, &before, nullptr);
        }
    } unblock{pipeSignal, before};
    Pipe input, output, errors;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], 0);
    posix_spawn_file_actions_adddup2(&actions, output[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errors[1], 2);
    std::string program = "espeak-ng", quiet = "-q", ipa = "--ipa", voiceFlag = "-v",
                voiceName = language, fromInput = "--stdin", lineFlag = "-l",
                lineLength = std::to_string(kClauseLine);
    char* argv[] = {program.data(),   quiet.data(),      ipa.data(),
                    voiceFlag.data(), voiceName.data(),  fromInput.data(),
                    lineFlag.data(),  lineLength.data(), nullptr};
    if (!linePerClause) argv[6] = nullptr;
    pid_t child = 0;
    const int spawned = posix_spawnp(&child, "espeak-ng", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        throw ToolError(source +
                        ": turning words into phones needs espeak-ng (apt install "
                        "espeak-ng), or give the phones with --ipa");
    }
    input.Close(0);
    output.Close(1);
    errors.Close(1);
    // Write the words while reading what comes back, so that neither side waits on a full pipe.
    // espeak-ng answers clause by clause; one that stays silent that long has hung, and a tool
    // that waits for it would never end.
    const auto stalled = [&] {
        kill(child, SIGKILL);
        while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
        return ToolError(source + ": espeak-ng gave no phones for " +
                         std::to_string(kPhonemiserPatienceMs / 1000) + " s and was stopped");
    };
    std::string phones, messages;
    size_t written = 0;
    if (text.empty()) input.Close(1);
    while (output[0] >= 0 || errors[0] >= 0) {
        pollfd watched[3] = {
            {output[0], POLLIN, 0}, {errors[0], POLLIN, 0}, {input[1], POLLOUT, 0}};
        const int ready = poll(watched, 3, kPhonemiserPatienceMs);
        if (ready == 0) throw stalled();
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (input[1] >= 0 && (watched[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            const ssize_t count = write(input[1], text.data() + written, text.size() - written);
            if (count > 0) written += static_cast<size_t>(count);
            if (count < 0 || written == text.size()) input.Close(1);
        }
        for (int i = 0; i < 2; ++i) {
            Pipe& pipe = i == 0 ? output : errors;
            if (pipe[0] < 0 || !(watched[i].revents & (POLLIN | POLLERR | POLLHUP))) continue;
            char buffer[4096];
            const ssize_t count = read(pipe[0], buffer, sizeof buffer);
            if (count > 0) {
                (i == 0 ? phones : messages).append(buffer, static_cast<size_t>(count));
            } else if (count == 0 || errno != EINTR) {
                pipe.Close(0);
            }
        }
    }
    input.Close(1);
    int status = 0;
    for (int waited = 0;; waited += 10) {
        const pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child || (done < 0 && errno != EINTR)) break;
        if (waited >= kPhonemiserPatienceMs) throw stalled();
        usleep(10 * 1000);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || Blank(phones)) {
        while (!messages.empty() && (messages.back() == '\n' || messages.back() == ' '))
            messages.pop_back();
        throw ToolError(source +
                        ": espeak-ng could not turn the words into phones with the voice '" +
                        language + "'" + (messages.empty() ? "" : ": " + messages));
    }
    return phones;
}

}  // namespace

std::string Phonemise(const std::string& text, const std::string& language,
                      const std::string& source) {
    if (Blank(text)) throw ToolError(source + ": no words");
    std::string phones = RunPhonemiser(text, language, source, false);
    std::replace(phones.begin(), phones.end(), '\n', ' ');
    return phones;
}

std::vector<std::string> WrittenWordsOf(const std::string& text, const std::string& ipa,
                                        const std::string& language, const std::string& source) {
    std::vector<std::string> own = Host::IpaWords(ipa);
    const std::vector<std::string> written = Host::SplitWords(text);
    std::string lines;
    for (const std::string& word : written) {
        // A word as long as a clause line would run into the next one.
        if (word.size() + 1 >= kClauseLine) return own;
        lines += word + "\n";
    }
    if (written.empty()) return own;
    // The names are a courtesy to the reader: a phonemiser that read the line but fails on its
    // words leaves them named by their IPA.
    std::string each;
    try {
        each = RunPhonemiser(lines, language, source, true);
    } catch (const ToolError&) {
        return own;
    }
    std::vector<std::string> alone;
    std::istringstream read(each);
    for (std::string line; std::getline(read, line);)
        alone.push_back(line);
    std::vector<std::string> names = Host::WrittenWordNames(ipa, written, alone);
    return names.size() == own.size() ? names : own;
}

}  // namespace Vocetta::Tool
