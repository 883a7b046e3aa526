// What a recording says, when its words are known: the phones that align its labels
// (Host::AlignTranscript), from the text of its line, phonemised by espeak-ng, or from IPA given
// as it is.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "batch.hpp"
#include "vocetta/profile.hpp"

namespace Vocetta::Tool {

class CommandLine;

struct TranscriptArguments {
    std::string text;           // --text: the words of the one recording
    std::string textFile;       // --text-file: a UTF-8 file holding them
    std::string ipa;            // --ipa: its phones in IPA, no phonemiser needed
    bool beside = false;        // --transcripts: each recording's words in the .txt beside it
    bool literal = false;       // --literal-text: directions and markup said as words
    bool speakerNames = false;  // --speaker-names: each line begins with its speaker's name
    std::string script;         // --script: a dialogue table of recordings and their words
    std::string scriptColumns = "file,text";  // --script-columns: its recordings' and words'
    std::string language = "en-us";           // --language: espeak-ng's voice for the words
};

// --text, --text-file, --ipa, --transcripts, --script, --literal-text, --speaker-names,
// --language (common.cpp,
// with the other options that commands share).
void AddTranscriptOptions(CommandLine& line, TranscriptArguments& arguments);

// What a recording says: its phones in IPA, and the written words each word of them says
// (WrittenWordsOf), one name per word, its IPA when only the IPA was given.
struct Transcript {
    std::string ipa;
    std::vector<std::string> written;
};

// Each input's transcript, or none when no transcript was asked for. UsageError for options
// that exclude each other (also --no-smoothing: `smoothing` false), or a transcript of one
// recording given to several; ToolError naming the file for a transcript that cannot be read,
// holds no words (once its directions and markup are left out: Host::SpokenText, unless
// --literal-text), no phones or none that `profile`'s phonemes stand for, or that espeak-ng cannot
// phonemise. Everything is read and phonemised before any audio is, so that a bad transcript
// stops the run before it writes anything; the recordings' own transcripts (--transcripts,
// --script) are phonemised on up to `settings.threads` threads, under its progress bar. Their
// words are named by what is written only for `nameWords` (output that shows words): naming takes
// as long again.
std::vector<std::optional<Transcript>> TranscriptsFor(const TranscriptArguments& arguments,
                                                      const std::vector<std::string>& inputs,
                                                      const Host::Profile& profile, bool smoothing,
                                                      const BatchSettings& settings,
                                                      bool nameWords);

// How a line's written words are read: what of them is said, and the options that say so (named
// in messages).
struct Reading {
    bool literal = false;       // directions and markup said too (else Host::SpokenText)
    bool speakerNames = false;  // each line's speaker left out (Host::WithoutSpeakerNames)
    std::string literalOption = "--literal-text";
};

// What `text` says aloud, read as `reading` says.
std::string SpokenWords(const std::string& text, const Reading& reading);

// The transcript of a line's words (UTF-8) in espeak-ng's voice `language`: what it says aloud
// (SpokenWords), phonemised, checked as CheckedPhones checks it and, with `nameWords`, its words
// named by what is written (WrittenWordsOf: espeak-ng a second time); without, by their IPA.
// ToolError naming `source` for a line of directions or a speaker's name alone (its message names
// the reading's `literalOption`, what says directions as words), or what Phonemise and
// CheckedPhones throw.
Transcript TranscriptOfWords(const std::string& text, const std::string& language,
                             const std::string& source, const Reading& reading,
                             const std::vector<std::string>& names, bool nameWords);

// `ipa`, checked to hold something for the profile (whose phoneme names are `names`, as
// Host::LabelNames gives them) to align: ToolError naming `source` for no phones, or none that a
// class stands for (phones that only sound like a class give the path too little to hold on to).
std::string CheckedPhones(std::string ipa, const std::string& source,
                          const std::vector<std::string>& names);

// `text` (UTF-8) in IPA, as espeak-ng's voice `language` speaks it; `source` names the text in
// messages. ToolError when espeak-ng is missing, fails or gives nothing.
std::string Phonemise(const std::string& text, const std::string& language,
                      const std::string& source);

// Each word of `ipa` (Host::IpaWords), the Phonemise of `text`, named by the written words of
// `text` it says: each word phonemised alone by espeak-ng, then aligned (Host::WrittenWordNames);
// by its IPA where they cannot be told apart. The errors of Phonemise.
std::vector<std::string> WrittenWordsOf(const std::string& text, const std::string& ipa,
                                        const std::string& language, const std::string& source);

}  // namespace Vocetta::Tool
