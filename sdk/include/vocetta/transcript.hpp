// Labels of a line whose words are known: most of a game's dialogue is recorded from a script, so
// the phones a line holds, and their order, are known before its audio is; only where each lies
// is not. Aligning them to the frames' scores leaves the recogniser one question, where each
// phone begins, instead of which phoneme every frame is, and the vowels it confuses from one
// voice to the next (E and I, O and U) no longer compete:
//
//     // the line's phones in IPA, from a phonemiser (the tool runs espeak-ng) or typed
//     const std::vector<int> phones = Vocetta::Host::TranscriptLabels("həlˈoʊ wˈɜːld", names);
//     // rows: the log scores SmoothPath reads (LabelRow), frames x names.size()
//     const std::vector<int> labels =
//         Vocetta::Host::AlignTranscript(rows, names.size(), silence, phones);
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "vocetta/mouth_shapes.hpp"

namespace Vocetta::Host {

// The phones of IPA text, in order: each symbol with the diacritics and modifier letters after it
// (ɔ̃, tʰ), and kWordBreak between two words (at spaces, line breaks and punctuation). Stress,
// length, tie and syllable marks separate nothing and go, and so does whatever stands in
// parentheses (espeak-ng's change of language, "(en)", or a sound that may be left out), which
// ends a word. Text that is not UTF-8 gives the phones before the first bad byte.
std::vector<std::string> SplitIpa(std::string_view ipa);
inline constexpr std::string_view kWordBreak = " ";
// The words of IPA text, each its phones (SplitIpa's between two word breaks) joined: the words
// a transcript's phones count from 1.
std::vector<std::string> IpaWords(std::string_view ipa);

// The phoneme class whose mouth a phone shows, as the built-in profile names them: "A" (open: a ɑ
// æ ʌ), "I" (spread: i ɪ y ʏ ɨ), "U" (rounded close: u ʊ ɯ ʉ), "E" (mid front: e ɛ ø œ), "O"
// (rounded mid: o ɔ ɒ ɵ ɤ), "M" (lips closed on a nasal: m ɱ), "FV" (teeth on the lip: f v) and
// "S" (s ʃ ɕ ʂ), by the phone's first symbol; "" for a phone no class stands for (schwa, t, d,
// n, l, k, r, b, p, z). A diphthong is two phones, each its own vowel. The classes are those the
// calibration labels phones with, so that a transcript's phone scores as what the profile learnt
// for it.
std::string_view IpaClass(std::string_view phone);

// The phones of `ipa` as indices into `names` (LiveLabels' or LabelNames' names): the index of
// the phone's class when `names` holds it, -1 for a phone without one, and kPauseMayFall between
// two words. b and p, which close the lips as m does but sound like no class the profile learnt
// (a closure of silence, then a burst), are HeardAsOther(the index of "M") when `names` holds M.
// The other stops (t d k g), whose closure is silence, and the nasals (n ŋ ɲ) and voiced
// sibilants (z ʒ), which sound much as m and s do, are SoundsLike("sil", "M" and "S") when
// `names` holds that class.
std::vector<int> TranscriptLabels(std::string_view ipa, const std::vector<std::string>& names);
inline constexpr int kPauseMayFall = -2;
// A stop aligned as a phone without a class that scores at least as silence does (its closure),
// whose frames are labelled `label`; the same function turns it back. Its values are -3 down to
// -999.
constexpr int HeardAsOther(int label) {
    return -3 - label;
}
// A phone without a class that scores, in each frame, at least as `label` does (and never less
// than a phone without a class): the class its sound is nearest, which finds its frames better
// than the frame's best less the penalty alone; its frames keep their best label. The same
// function turns it back; its values are kSoundsLikeBase and below.
inline constexpr int kSoundsLikeBase = -1000;
constexpr int SoundsLike(int label) {
    return kSoundsLikeBase - label;
}

// A phone without a class scores, in each frame, as the frame's best label less this: it takes
// the frames that the phones around it fit worse, not those they fit. A phone of a class scores
// its class, but never less than the frame's best less kTranscriptMismatchFloor, so that a voice
// the profile reads wrongly (an "oo" scored as I) costs a bounded amount per frame rather than
// pushing the phones after it onto other words. Penalty 3 and floor 10 were chosen on the
// validation voices' 216 sentences (scripts/transcript-experiment.py --tool) with phones of one
// frame or more: penalties 2.5, 3.5 and 4 gave 87.4, 87.6 and 87.6 % of their vowel frames right,
// against 87.8 %, and floors 6 and 8 87.5 and 87.8 %.
inline constexpr float kTranscriptOtherPenalty = 3.0f;
inline constexpr float kTranscriptMismatchFloor = 10.0f;
// The fewest frames (of 10 ms, the tool's hop) a phone of a class and a phone without one take,
// each at most the line's own mean: its frames that do not score best as silence, over its
// phones, so that fast speech is not pushed past its end. Without them the path hurried through
// the consonants, a frame or two each, and let the vowels beside them take the rest. On the same
// sentences, vowel frames 87.8 % -> 90.6 % (the corpus's 27 sentences, which chose nothing, 82.5
// -> 91.7 %), and the visemes of their consonants' 10-ms steps 32.9 -> 50.8 %; 4 and 3, 4 and 4,
// and 5 and 5 frames gave 90.4, 90.3 and 89.3 %. Spoken 1.5 times as fast, the same sentences
// kept 54.1 % of their vowels' visemes with 4 and 4 frames and no cap, 73.7 % with the cap.
inline constexpr size_t kTranscriptClassFrames = 5;
inline constexpr size_t kTranscriptOtherFrames = 4;

// How AlignTranscript weighs a line's phones.
struct TranscriptAlignment {
    float switchCost = 2.0f;  // SmoothPath's, when the line has fewer frames than phones
    float otherPenalty = kTranscriptOtherPenalty;
    float mismatchFloor = kTranscriptMismatchFloor;
    size_t classFrames = kTranscriptClassFrames;  // 0 or 1: a frame
    size_t otherFrames = kTranscriptOtherFrames;  // also HeardAsOther and SoundsLike

    // The defaults for frames `hopSeconds` apart: the fewest frames last as long as 5 and 4
    // frames of 10 ms, to the nearest frame and at least one.
    static TranscriptAlignment ForHop(double hopSeconds);
};

// The label of every frame of `logScores` (frames x states, row by row, as SmoothPath reads them)
// on the best path that says the phones of `transcript` (TranscriptLabels) in order, each for its
// fewest frames or more (TranscriptAlignment, at most the line's mean: kTranscriptClassFrames),
// with a pause of `silence` frames before the first, after the last and wherever kPauseMayFall
// stands between two, as the frames ask: a pause frame is `silence`, a phone's frame its label, a
// frame of a phone without a label the frame's best state (the lowest on ties), and a frame of a
// phone HeardAsOther its label. Pauses fall only between words: a pause the path could put inside a
// word would let it skip the word's phones over the frames that say them. Ties go to staying, then
// to moving on. No phones leave a pause alone: every frame is `silence`. With fewer frames than
// phones no path says them all, and the labels are SmoothPath's, as they are when `silence` is
// none of the states. Memory: a byte per frame and
// state of the path (TranscriptAlignmentStates). `said`, when given, gets a mark per frame: 1
// where the label is the transcript's own (a phone of a class or HeardAsOther, or a pause), 0
// where a phone without a class left the frame its best state (and everywhere when the labels are
// SmoothPath's). `phones`, when given, gets per frame the phone it says, counted from 0 over the
// phones alone (not the kPauseMayFall between words), or -1 in a pause (and everywhere when the
// labels are SmoothPath's).
std::vector<int> AlignTranscript(const std::vector<float>& logScores, size_t states, int silence,
                                 const std::vector<int>& transcript,
                                 const TranscriptAlignment& alignment = {},
                                 std::vector<unsigned char>* said = nullptr,
                                 std::vector<int>* phones = nullptr);
// The most states AlignTranscript's path takes for `transcript`: a pause before each phone and
// after the last, and each phone's fewest frames.
size_t TranscriptAlignmentStates(const std::vector<int>& transcript,
                                 const TranscriptAlignment& alignment);

// The scores a mouth reads from a line aligned to its transcript (`scores`: frames x
// `phonemes`, the job's): a frame the transcript says is a phoneme (`said`, and a label below
// `phonemes`) scores that phoneme 1 and the others 0, so that its shape is the phone's whatever
// the voice sounded like to the profile; every other frame keeps its own scores, so that the
// consonants between the vowels move the mouth as they sound. A pause's frames keep theirs too:
// the labels' silence marks rest the mouth there (CueFrames::silence).
std::vector<float> TranscriptScores(const std::vector<float>& scores, size_t phonemes,
                                    const std::vector<int>& labels,
                                    const std::vector<unsigned char>& said, int silence);

// The shape of `set` a consonant shows, as the set draws it: visemes m b p PP, f v FF, θ ð TH,
// t d DD, k g ŋ x kk, ʃ ʒ ɕ CH, s z SS, n l nn, r ɹ ʁ RR, w ou, j ih; cartoon m b p A, f v G, l H,
// w F, the others B. -1 for the vowels, whose class gives their shape, and for the phones whose
// sound does (schwa, h, a glottal stop). A transcript knows every consonant, where the profile's
// classes hear only a few (m, f and v, s), so its consonants show the set's shapes, not the
// profile's classes'.
int PhoneShape(ShapeSet set, std::string_view phone);

// Per frame of a line aligned to its transcript (`phones`: AlignTranscript's, per frame the phone
// of SplitIpa(ipa) it says, word breaks not counted, or -1), the shape its phone shows
// (PhoneShape; in visemes a t or d before ʃ or ʒ in the same word is the affricate's CH), -1 where
// it has none, in pauses and past the phones `ipa` holds: MouthShapes::Update's `shape`, which the
// cue frames carry (CueFrames::shapes).
std::vector<int> TranscriptShapes(std::string_view ipa, ShapeSet set,
                                  const std::vector<int>& phones);

// What a line's written text says aloud (UTF-8 in, UTF-8 out): the text less what a dialogue
// script holds for its reader, not its actor. A phonemiser would say it all: "(sighs)" as a word,
// "<i>Run</i>" as "i run slash i", "*told*" as "asterisk told asterisk". Left out, each with its
// brackets, where it opens and closes on one line: stage directions and markup in parentheses,
// square brackets, braces and angle brackets ("(sighs)", "[laughs]", Godot's or Yarn's "[wave]",
// Ren'Py's "{w=0.5}", rich text's "<color=red>"), and the full-width （）［］【】. The tags that
// end a line of Ink or Yarn go from their '#' to the end of the line ("Hi. #happy #line:0a1b2c"),
// but a '#' ending a word ("C#") or before a digit ("#1") stays. Asterisks go alone: they mark
// emphasis as often as an action, and the words they mark stay. What is left out
// leaves nothing, so that markup may sit inside a word ("Hel<b>lo</b>" is "Hello"), but a space
// between a stop and the word after it ("so.(beat)No" is "so. No"). A bracket that does not close
// on its line stays, as the phonemiser reads it.
std::string SpokenText(std::string_view text);

// `text` less the speaker that begins each of its lines, as Yarn and many dialogue scripts write
// one ("Mae: Hi there." is "Hi there."): a line's name runs to its first colon followed by a space
// or the line's end, and goes with that colon and the spaces after it. A clock's "10:30" or a
// tag's "#line:0a1b" ends no name, and a colon of a line's words is written "\:", as Yarn writes
// it (its backslash goes). A line with no such colon stays as it is; so does a colon that begins
// its line. Only for text that names its speakers: in "Listen: we go now." the name is "Listen".
std::string WithoutSpeakerNames(std::string_view text);

// The words of written text (UTF-8), as a script reads: what spaces (and dashes or an ellipsis
// between words) separate, less the punctuation at either end ("Well,", "(sighs)", "«Non»"), and
// none of punctuation alone. What a word holds inside stays: "don't", "well-known", "$42.50",
// "3/4/2021" are one word each, as a phonemiser reads them. Text that is not UTF-8 gives the
// words before the first bad byte.
std::vector<std::string> SplitWords(std::string_view text);

// Names each word of `ipa`, a line phonemised as a whole, by the written words it says, given each
// written word phonemised alone (`writtenIpa[i]` says `written[i]`). The two rarely count alike:
// a phonemiser joins unstressed words to the next ("on the": ɔnðə) and says a number as several
// ("42": fˈɔːɹɾi tˈuː). Their phones are aligned instead, and each written word goes to the word
// of `ipa` that most of its phones fall in: a word is named by the written words it holds, joined
// by a space, or, one of several that a written word is said as, by that word. One name per word
// of `ipa` (as SplitIpa separates them); none at all when the two differ in more than a quarter
// of their phones, as another text or language would, or the sizes of `written` and `writtenIpa`
// differ.
std::vector<std::string> WrittenWordNames(std::string_view ipa,
                                          const std::vector<std::string>& written,
                                          const std::vector<std::string>& writtenIpa);

}  // namespace Vocetta::Host
