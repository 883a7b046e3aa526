// A line's transcript: IPA split into phones, phones into the profile's classes, and the
// alignment of those phones to frame scores, against paths worked out by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "vocetta/smoother.hpp"
#include "vocetta/transcript.hpp"

namespace Vocetta::Testing {
namespace {

using Host::AlignTranscript;
using Host::kPauseMayFall;

TEST(TranscriptIpa, SplitsPhonesKeepsDiacriticsAndMarksWords) {
    const std::string space(Host::kWordBreak);
    // espeak-ng's "hello world": stress and length marks go, the space between words stays.
    EXPECT_EQ(Host::SplitIpa("həlˈoʊ wˈɜːld"),
              (std::vector<std::string>{"h", "ə", "l", "o", "ʊ", space, "w", "ɜ", "l", "d"}));
    // A nasal vowel and an aspirated stop are one phone each; a tie joins nothing; punctuation
    // and line breaks end words, but never twice in a row or at either end.
    EXPECT_EQ(Host::SplitIpa("  pɔ̃ tʰe͡ɪ,\n  ʃ.  "),
              (std::vector<std::string>{"p", "ɔ̃", space, "tʰ", "e", "ɪ", space, "ʃ"}));
    // espeak-ng's change of language, or an optional sound, is left out and ends a word.
    EXPECT_EQ(Host::SplitIpa("lə (en)wiːk(fr) a"),
              (std::vector<std::string>{"l", "ə", space, "w", "i", "k", space, "a"}));
    EXPECT_EQ(Host::SplitIpa("ma(ə"), (std::vector<std::string>{"m", "a"}));
    // Text that stops being UTF-8 keeps the phones before it.
    EXPECT_EQ(Host::SplitIpa("ma\xff"
                             "i"),
              (std::vector<std::string>{"m", "a"}));
    EXPECT_TRUE(Host::SplitIpa("ˈ ː, .").empty());
    // Its words, each its phones.
    EXPECT_EQ(Host::IpaWords(" həlˈoʊ,  wˈɜːld (en)"), (std::vector<std::string>{"həloʊ", "wɜld"}));
    EXPECT_TRUE(Host::IpaWords("ˈ ː, .").empty());
}

TEST(TranscriptIpa, PhonesFallIntoTheProfilesClasses) {
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"a", "A"}, {"ɑ", "A"}, {"æ", "A"},  {"ʌ", "A"},  {"i", "I"}, {"ɪ", "I"}, {"y", "I"},
        {"u", "U"}, {"ʊ", "U"}, {"e", "E"},  {"ɛ", "E"},  {"ø", "E"}, {"o", "O"}, {"ɔ̃", "O"},
        {"ɒ", "O"}, {"m", "M"}, {"f", "FV"}, {"v", "FV"}, {"s", "S"}, {"ʃ", "S"}, {"ə", ""},
        {"t", ""},  {"b", ""},  {"z", ""},   {"ɹ", ""},   {"", ""}};
    for (const auto& [phone, phonemeClass] : expected)
        EXPECT_EQ(Host::IpaClass(phone), phonemeClass) << phone;
    // Indices into the profile's labels; a class the profile lacks is no class at all.
    const std::vector<std::string> names = {"sil", "O", "A"};
    // ɡ sounds like the silence of its closure; m, without an M, is no class at all.
    EXPECT_EQ(
        Host::TranscriptLabels("ˈɑː ɡˈoʊ, mˈɑː", names),
        (std::vector<int>{2, kPauseMayFall, Host::SoundsLike(0), 1, -1, kPauseMayFall, -1, 2}));
    EXPECT_EQ(Host::TranscriptLabels("tan zu", {"M", "S", "A", "sil"}),
              (std::vector<int>{Host::SoundsLike(3), 2, Host::SoundsLike(0), kPauseMayFall,
                                Host::SoundsLike(1), -1}));
    EXPECT_EQ(Host::SoundsLike(Host::SoundsLike(7)), 7);
    // b and p close the lips as M, but are aligned as phones without a class; without an M in
    // the profile they are just that.
    EXPECT_EQ(
        Host::TranscriptLabels("ˈbɑː pa", {"M", "A", "sil"}),
        (std::vector<int>{Host::HeardAsOther(0), 1, kPauseMayFall, Host::HeardAsOther(0), 1}));
    EXPECT_EQ(Host::HeardAsOther(Host::HeardAsOther(5)), 5);
    EXPECT_EQ(Host::TranscriptLabels("ba", names), (std::vector<int>{-1, 2}));
}

// Three labels: A, I and silence (2).
constexpr float kNo = Host::kImpossibleLogScore;

// Phones of a frame or more, so that the paths below turn on the scores alone.
Host::TranscriptAlignment OneFrame(float otherPenalty = Host::kTranscriptOtherPenalty,
                                   float mismatchFloor = Host::kTranscriptMismatchFloor) {
    return {2.0f, otherPenalty, mismatchFloor, 1, 1};
}

TEST(TranscriptAlignment, SaysThePhonesInOrderWithPausesBetweenWords) {
    // Frames that say: silence, A, A, I, I, silence.
    const std::vector<float> rows = {-9, -9, 0,  0,  -9, -9, 0,  -9, -9,
                                     -9, 0,  -9, -9, 0,  -9, -9, -9, 0};
    EXPECT_EQ(AlignTranscript(rows, 3, 2, {0, 1}, OneFrame()),
              (std::vector<int>{2, 0, 0, 1, 1, 2}));
    // Told "I A", the best path spends the A frames on I or the I frames on A: it keeps the
    // order whatever the scores say. Both ways cost 27; a tie stays, so I lasts a single frame.
    EXPECT_EQ(AlignTranscript(rows, 3, 2, {1, 0}, OneFrame()),
              (std::vector<int>{1, 0, 0, 2, 2, 2}));
}

TEST(TranscriptAlignment, PausesFallOnlyBetweenWords) {
    // A, a frame that sounds like a pause, I.
    const std::vector<float> rows = {0, -9, -9, -5, -6, 0, -9, 0, -9};
    // One word: no pause inside it; the middle frame goes to A (-5) rather than I (-6).
    EXPECT_EQ(AlignTranscript(rows, 3, 2, {0, 1}, OneFrame()), (std::vector<int>{0, 0, 1}));
    // Two words: the pause between them.
    EXPECT_EQ(AlignTranscript(rows, 3, 2, {0, kPauseMayFall, 1}, OneFrame()),
              (std::vector<int>{0, 2, 1}));
}

TEST(TranscriptAlignment, PhonesWithoutAClassTakeTheFramesTheOthersFitWorse) {
    // A, I, I, and "A" then a phone without a class (a consonant), whose frames show their own
    // best label. With the default penalty (3) the consonant takes both I frames (-3 each)
    // rather than A taking one of them (-9).
    const std::vector<float> rows = {0, -9, -12, -9, 0, -12, -9, 0, -12};
    EXPECT_EQ(AlignTranscript(rows, 3, 2, {0, -1}, OneFrame()), (std::vector<int>{0, 1, 1}));
    // With a penalty above what the wrong class costs, the consonant keeps to one frame and A
    // takes the other (-9 - 10 against 2 x -10).
    EXPECT_EQ(AlignTranscript(rows, 3, 2, {0, -1}, OneFrame(10.0f)), (std::vector<int>{0, 0, 1}));
}

TEST(TranscriptAlignment, APhoneThatSoundsLikeAClassIsFoundByItsScore) {
    // A, two frames that score best as I with silence close behind (-0.5) and A at -2, then A:
    // told "A t A", a t without a class keeps to one of the two frames (the best less 3 against
    // A's -2), but a t that sounds like silence takes both (-0.5 each), and keeps their labels.
    const std::vector<float> rows = {0, -9, -9, -2, 0, -0.5f, -2, 0, -0.5f, 0, -9, -9};
    std::vector<unsigned char> said;
    EXPECT_EQ(AlignTranscript(rows, 3, 2, {0, Host::SoundsLike(2), 0}, OneFrame(), &said),
              (std::vector<int>{0, 1, 1, 0}));
    EXPECT_EQ(said, (std::vector<unsigned char>{1, 0, 0, 1}));
    const std::vector<int> alone = AlignTranscript(rows, 3, 2, {0, -1, 0}, OneFrame());
    EXPECT_EQ(std::count(alone.begin(), alone.end(), 1), 1);
    // A label that names no state is a phone without a class, not a read past the row.
    EXPECT_EQ(AlignTranscript(rows, 3, 2, {0, Host::SoundsLike(7), 0}, OneFrame()), alone);
    EXPECT_EQ(AlignTranscript(rows, 3, 2, {0, 9, 0}, OneFrame()), alone);
    EXPECT_EQ(AlignTranscript(rows, 3, 2, {0, Host::HeardAsOther(5), 0}, OneFrame()), alone);
}

TEST(TranscriptAlignment, AWronglyScoredPhoneCostsNoMoreThanTheFloor) {
    // Silence, a frame the profile finds impossible for I, silence: the transcript says I, and
    // I stays there at the floor's cost rather than the impossible score.
    const std::vector<float> rows = {-9, -9, 0, 0, kNo, -9, -9, -9, 0};
    EXPECT_EQ(AlignTranscript(rows, 3, 2, {1}, OneFrame()), (std::vector<int>{2, 1, 2}));
    // Without a floor the impossible frame is avoided wherever another is left: I takes a pause
    // frame (-9) instead.
    const std::vector<int> unfloored = AlignTranscript(rows, 3, 2, {1}, OneFrame(3.0f, 1.0e30f));
    EXPECT_NE(unfloored[1], 1);
}

TEST(TranscriptAlignment, MarksTheFramesItSaysAndTheMouthReadsThem) {
    // A, A, I, silence: "A", a consonant, then a pause.
    const std::vector<float> rows = {0, -9, -12, -9, 0, -12, -9, 0, -12, -9, -9, 0};
    std::vector<unsigned char> said;
    const std::vector<int> labels = AlignTranscript(rows, 3, 2, {0, -1}, OneFrame(), &said);
    EXPECT_EQ(labels, (std::vector<int>{0, 1, 1, 2}));
    EXPECT_EQ(said, (std::vector<unsigned char>{1, 0, 0, 1}));
    // Two phonemes (A, I) scored by the job: the said A frame shows A alone, the consonant's
    // frames and the pause keep the job's scores.
    const std::vector<float> scores = {0.4f, 0.6f, 0.1f, 0.9f, 0.2f, 0.8f, 0.5f, 0.5f};
    EXPECT_EQ(Host::TranscriptScores(scores, 2, labels, said, 2),
              (std::vector<float>{1.0f, 0.0f, 0.1f, 0.9f, 0.2f, 0.8f, 0.5f, 0.5f}));
    // A phone heard as other (b, shown as A here) scores as a phone without a class where its
    // closure's silence scores lower, so it takes the same frames, but its frames are labelled,
    // said and shown as its class.
    const std::vector<int> closing =
        AlignTranscript(rows, 3, 2, {0, Host::HeardAsOther(0)}, OneFrame(), &said);
    EXPECT_EQ(closing, (std::vector<int>{0, 0, 0, 2}));
    EXPECT_EQ(said, (std::vector<unsigned char>{1, 1, 1, 1}));
    // Without a path through the transcript nothing is its own.
    AlignTranscript(rows, 3, 2, {0, 1, 0, 1, 0}, OneFrame(), &said);
    EXPECT_EQ(said, (std::vector<unsigned char>(4, 0)));
}

TEST(TranscriptAlignment, EachPhoneLastsItsFewestFramesUpToTheLinesMean) {
    // Seven frames of A, one of I: told "A I", a phone may last a frame, and I takes its one.
    std::vector<float> rows;
    for (int frame = 0; frame < 8; ++frame)
        rows.insert(rows.end(), {frame < 7 ? 0.0f : -9.0f, frame < 7 ? -9.0f : 0.0f, -12.0f});
    EXPECT_EQ(AlignTranscript(rows, 3, 2, {0, 1}, OneFrame()),
              (std::vector<int>{0, 0, 0, 0, 0, 0, 0, 1}));
    // Three frames or more each: I takes the two A frames before its own.
    Host::TranscriptAlignment three = OneFrame();
    three.classFrames = 3;
    EXPECT_EQ(AlignTranscript(rows, 3, 2, {0, 1}, three),
              (std::vector<int>{0, 0, 0, 0, 0, 1, 1, 1}));
    // Five each cannot be: the line's 8 sounding frames over 2 phones give 4 at most.
    three.classFrames = 5;
    EXPECT_EQ(AlignTranscript(rows, 3, 2, {0, 1}, three),
              (std::vector<int>{0, 0, 0, 0, 1, 1, 1, 1}));
    // The phones without a class have their own fewest frames; so have b and p. The frames they
    // take keep their best label, or are the label b and p are shown as.
    Host::TranscriptAlignment other = OneFrame();
    other.otherFrames = 2;
    EXPECT_EQ(AlignTranscript(rows, 3, 2, {0, -1}, other),
              (std::vector<int>{0, 0, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(AlignTranscript(rows, 3, 2, {0, Host::HeardAsOther(1)}, other),
              (std::vector<int>{0, 0, 0, 0, 0, 0, 1, 1}));
    // Frames that sound like silence do not count toward the mean: half the line silent, and
    // the same two phones may last two frames each at most, not four.
    for (size_t frame = 0; frame < 4; ++frame)
        rows[frame * 3 + 2] = 1.0f;
    EXPECT_EQ(AlignTranscript(rows, 3, 2, {0, 1}, three),
              (std::vector<int>{2, 2, 2, 2, 0, 0, 1, 1}));
    // At other hops the fewest frames last as long: 5 and 4 frames of 10 ms are 10 and 8 of 5 ms.
    const Host::TranscriptAlignment fine = Host::TranscriptAlignment::ForHop(0.005);
    EXPECT_EQ(fine.classFrames, 10u);
    EXPECT_EQ(fine.otherFrames, 8u);
    EXPECT_EQ(Host::TranscriptAlignment::ForHop(0.1).otherFrames, 1u);
    EXPECT_EQ(Host::TranscriptAlignment::ForHop(std::nan("")).classFrames, 1u);
    // The path's states: a pause before each phone and after the last, and each one's chain.
    EXPECT_EQ(Host::TranscriptAlignmentStates({0, kPauseMayFall, -1, Host::HeardAsOther(0)}, {}),
              1 + (1 + Host::kTranscriptClassFrames) + 2 * (1 + Host::kTranscriptOtherFrames));
}

TEST(TranscriptAlignment, NamesThePhoneOfEveryFrame) {
    // A, a pause between two words, I: the phones count from 0 without the break between them.
    const std::vector<float> rows = {0, -9, -9, -5, -6, 0, -9, 0, -9};
    std::vector<int> phones;
    AlignTranscript(rows, 3, 2, {0, kPauseMayFall, 1}, OneFrame(), nullptr, &phones);
    EXPECT_EQ(phones, (std::vector<int>{0, -1, 1}));
    // Without a path through the transcript no frame says a phone.
    AlignTranscript(rows, 3, 2, {0, 1, 0, 1}, OneFrame(), nullptr, &phones);
    EXPECT_EQ(phones, (std::vector<int>(3, -1)));
}

TEST(TranscriptShapes, ConsonantsShowTheSetsShapes) {
    using Host::ShapeIndex;
    using Host::ShapeSet;
    const auto viseme = [](const char* phone) {
        const int shape = Host::PhoneShape(ShapeSet::Visemes, phone);
        return shape < 0 ? std::string("-") : Host::ShapeNames(ShapeSet::Visemes)[size_t(shape)];
    };
    const auto cartoon = [](const char* phone) {
        const int shape = Host::PhoneShape(ShapeSet::Cartoon, phone);
        return shape < 0 ? std::string("-") : Host::ShapeNames(ShapeSet::Cartoon)[size_t(shape)];
    };
    const std::vector<std::pair<const char*, const char*>> visemes = {
        {"m", "PP"}, {"b", "PP"},  {"p", "PP"}, {"f", "FF"}, {"v", "FF"}, {"θ", "TH"}, {"ð", "TH"},
        {"t", "DD"}, {"tʰ", "DD"}, {"d", "DD"}, {"ɾ", "DD"}, {"k", "kk"}, {"ɡ", "kk"}, {"ŋ", "kk"},
        {"x", "kk"}, {"ʃ", "CH"},  {"ʒ", "CH"}, {"ɕ", "CH"}, {"s", "SS"}, {"z", "SS"}, {"n", "nn"},
        {"l", "nn"}, {"ɹ", "RR"},  {"r", "RR"}, {"ʁ", "RR"}, {"ɚ", "RR"}, {"w", "ou"}, {"j", "ih"},
        {"a", "-"},  {"i", "-"},   {"ə", "-"},  {"h", "-"},  {"ʔ", "-"},  {"", "-"}};
    for (const auto& [phone, shape] : visemes)
        EXPECT_EQ(viseme(phone), shape) << phone;
    const std::vector<std::pair<const char*, const char*>> cartoons = {
        {"m", "A"}, {"p", "A"}, {"f", "G"}, {"l", "H"}, {"w", "F"}, {"ɚ", "E"}, {"t", "B"},
        {"k", "B"}, {"n", "B"}, {"s", "B"}, {"ʃ", "B"}, {"θ", "B"}, {"ɹ", "B"}, {"o", "-"}};
    for (const auto& [phone, shape] : cartoons)
        EXPECT_EQ(cartoon(phone), shape) << phone;
    // Per frame: the phone's shape, an affricate's t as its ʃ (only within a word), nothing in
    // the pauses, for the vowels or past the phones there are.
    const int ch = ShapeIndex(ShapeSet::Visemes, "CH"), dd = ShapeIndex(ShapeSet::Visemes, "DD");
    EXPECT_EQ(Host::TranscriptShapes("tʃˈa at ʃa", ShapeSet::Visemes, {0, 0, 1, 2, -1, 3, 4, 9}),
              (std::vector<int>{ch, ch, ch, -1, -1, -1, dd, -1}));
    EXPECT_EQ(
        Host::TranscriptShapes("tʃa", ShapeSet::Cartoon, {0, 1}),
        (std::vector<int>{ShapeIndex(ShapeSet::Cartoon, "B"), ShapeIndex(ShapeSet::Cartoon, "B")}));
}

TEST(TranscriptAlignment, NoPhonesOrTooFewFrames) {
    const std::vector<float> rows = {0, -9, -9, -9, 0, -9};
    EXPECT_EQ(AlignTranscript(rows, 3, 2, {}), (std::vector<int>{2, 2}));
    EXPECT_EQ(AlignTranscript(rows, 3, 2, {kPauseMayFall}), (std::vector<int>{2, 2}));
    // Three phones cannot fit two frames: the plain smoothed track instead.
    EXPECT_EQ(AlignTranscript(rows, 3, 2, {0, 1, 0}), Host::SmoothPath(rows, 3, 2.0f));
    // So it is without a silence among the states to score the pauses by.
    EXPECT_EQ(AlignTranscript(rows, 3, 3, {0}), Host::SmoothPath(rows, 3, 2.0f));
    EXPECT_EQ(AlignTranscript(rows, 3, -1, {0}), Host::SmoothPath(rows, 3, 2.0f));
    EXPECT_TRUE(AlignTranscript({}, 3, 2, {0}).empty());
}

// A script's words: what spaces, dashes and ellipses separate, the punctuation at their ends
// left out, what they hold inside kept as a phonemiser reads it.
TEST(TranscriptWords, SplitsWrittenText) {
    using Words = std::vector<std::string>;
    EXPECT_EQ(Host::SplitWords("Don't stop\xe2\x80\x94it's l'homme's well-known $42.50, km/h!"),
              (Words{"Don't", "stop", "it's", "l'homme's", "well-known", "$42.50", "km/h"}));
    EXPECT_EQ(
        Host::SplitWords("\xc2\xab"
                         "N\xc3\xa1\xc5\xa1 pes\xc2\xbb, 'tis rock- and "
                         "don\xe2\x80\x99t\xe2\x80\xa6(sighs)"),
        (Words{"N\xc3\xa1\xc5\xa1", "pes", "tis", "rock", "and", "don\xe2\x80\x99t", "sighs"}));
    EXPECT_EQ(Host::SplitWords("ab\xff cd"), Words{"ab"});
    EXPECT_TRUE(Host::SplitWords(" ... -- ' \xe2\x80\x94 ").empty());
}

// What a dialogue line's actor says: its stage directions and markup left out whole, a space
// where they parted words and nothing where they sat inside one; what does not close on its line
// is read as written.
TEST(TranscriptWords, LeavesOutDirectionsAndMarkup) {
    EXPECT_EQ(Host::SpokenText("(sighs) Well, I suppose. [laughs]"), " Well, I suppose. ");
    EXPECT_EQ(Host::SpokenText("[wave amp=50]Hel[/wave]lo {w=0.5}there, <color=#f00>you</color>!"),
              "Hello there, you!");
    EXPECT_EQ(Host::SpokenText("I *told* you **so**.(beat)No."), "I told you so. No.");
    EXPECT_EQ(Host::SpokenText("(nested (brackets) too) yes"), " yes");
    EXPECT_EQ(Host::SpokenText("\xef\xbc\x88\xe7\xac\x91\xef\xbc\x89\xe3\x81\xaf\xe3\x81\x84"
                               "\xe3\x80\x90\xe5\xb0\x8f\xe5\xa3\xb0\xe3\x80\x91"),
              "\xe3\x81\xaf\xe3\x81\x84");
    // Brackets left open, closed only on a later line or without an opening are the text's own.
    EXPECT_EQ(Host::SpokenText("I <3 you :) (really"), "I <3 you :) (really");
    EXPECT_EQ(Host::SpokenText("a (b\nc) d"), "a (b\nc) d");
    // Ink's and Yarn's tags end their line; a sharp or a number sign is read.
    EXPECT_EQ(Host::SpokenText("Hey, Bea! #line:0a1b2c #happy\nBye.(waves)#exit"),
              "Hey, Bea! \nBye.");
    EXPECT_EQ(Host::SpokenText("We're #1 in C# # tag with words"), "We're #1 in C# ");
    EXPECT_EQ(Host::SpokenText("#line:0a1b2c"), "");
    EXPECT_EQ(Host::SpokenText("no markup at all"), "no markup at all");
    EXPECT_EQ(Host::SpokenText("(sighs)"), "");
    EXPECT_EQ(Host::SpokenText(""), "");
    // A megabyte of brackets left open is read in one pass, not one per bracket.
    EXPECT_EQ(Host::SpokenText(std::string(1 << 20, '(') + "x)"), std::string((1 << 20) - 1, '('));
    EXPECT_EQ(Host::SpokenText(std::string(1 << 20, '#') + "\ny"), "\ny");
}

// A line that names its speaker, as Yarn writes it, says only what follows the name's colon; a
// colon of the words (a clock, a tag, an escaped one) ends no name, and each line has its own.
TEST(TranscriptWords, LeavesOutSpeakerNames) {
    EXPECT_EQ(Host::WithoutSpeakerNames("Mae: Hi there."), "Hi there.");
    EXPECT_EQ(Host::WithoutSpeakerNames("  Old Man:\t Listen: we go now."), "Listen: we go now.");
    EXPECT_EQ(Host::WithoutSpeakerNames("Mae: Hi.\r\nBea:\nNo name here\nKit: Bye."),
              "Hi.\r\n\nNo name here\nBye.");
    EXPECT_EQ(Host::WithoutSpeakerNames("Meet at 10:30 by line:0a1b"),
              "Meet at 10:30 by line:0a1b");
    EXPECT_EQ(Host::WithoutSpeakerNames("Listen\\: we go now."), "Listen: we go now.");
    EXPECT_EQ(Host::WithoutSpeakerNames(": not a name"), ": not a name");
    EXPECT_EQ(Host::WithoutSpeakerNames("Mae:"), "");
    EXPECT_EQ(Host::WithoutSpeakerNames(""), "");
    // Markup around the name goes first, as the tool reads a line.
    EXPECT_EQ(Host::WithoutSpeakerNames(Host::SpokenText("<b>Mae:</b> Hi! #line:0a1b2c")), "Hi! ");
}

// espeak-ng's readings of lines, whole and word by word: the words it joins, the numbers it says
// as several, and a word it says otherwise in context all find their written words.
TEST(TranscriptWords, NamesEachPhonemisedWordByItsWrittenWords) {
    using Words = std::vector<std::string>;
    EXPECT_EQ(Host::WrittenWordNames("ðə dˈɑːɡ slˈiːps ɔnðə sˈoʊfə",
                                     {"The", "dog", "sleeps", "on", "the", "sofa."},
                                     {"ðˈə", "dˈɑːɡ", "slˈiːps", "ˈɔn", "ðˈə", "sˈoʊfə"}),
              (Words{"The", "dog", "sleeps", "on the", "sofa."}));
    EXPECT_EQ(Host::WrittenWordNames("aɪ hæv fˈɔːɹɾi tˈuː", {"I", "have", "42"},
                                     {"ˈaɪ", "hˈæv", "fˈɔːɹɾi tˈuː"}),
              (Words{"I", "have", "42", "42"}));
    EXPECT_EQ(Host::WrittenWordNames("ðɪ ˈæpəl", {"the", "apple"}, {"ðˈə", "ˈæpəl"}),
              (Words{"the", "apple"}));
    // A liaison's consonant, a word of its own that no word alone says, goes with the word
    // before it.
    EXPECT_EQ(Host::WrittenWordNames("le-z ɑ̃fˈɑ̃", {"Les", "enfants"}, {"lˈe-", "ɑ̃fˈɑ̃"}),
              (Words{"Les", "Les", "enfants"}));
    // A written word said as nothing stays with the word before it.
    EXPECT_EQ(Host::WrittenWordNames("aɪ ɡoʊ", {"I", "&", "go"}, {"ˈaɪ", "", "ɡˈoʊ"}),
              (Words{"I &", "go"}));
    // Another text, or readings that do not pair up, name nothing.
    EXPECT_TRUE(
        Host::WrittenWordNames("həlˈoʊ wˈɜːld", {"good", "night"}, {"ɡˈʊd", "nˈaɪt"}).empty());
    EXPECT_TRUE(Host::WrittenWordNames("həlˈoʊ", {"hello"}, {}).empty());
    EXPECT_TRUE(Host::WrittenWordNames("", {"hello"}, {"həlˈoʊ"}).empty());
}

// A scene's worth of words, one joined pair in every three words and the first written word
// missing from the line: the names stay in step to the end.
TEST(TranscriptWords, NamesStayInStepOverALongScene) {
    std::string line = "ɡˈoʊ";
    std::vector<std::string> written = {"well", "go"}, alone = {"wˈɛl", "ɡˈoʊ"};
    constexpr int kRepeats = 20000;
    for (int i = 0; i < kRepeats; ++i) {
        line += " ʌvðə kˈæt";
        written.insert(written.end(), {"of", "the", "cat"});
        alone.insert(alone.end(), {"ˈʌv", "ðˈə", "kˈæt"});
    }
    const std::vector<std::string> names = Host::WrittenWordNames(line, written, alone);
    ASSERT_EQ(names.size(), 1u + 2 * kRepeats);
    EXPECT_EQ(names[0], "well go");
    EXPECT_EQ(names[names.size() - 2], "of the");
    EXPECT_EQ(names.back(), "cat");
    EXPECT_EQ(std::count(names.begin(), names.end(), "of the"), kRepeats);
}

}  // namespace
}  // namespace Vocetta::Testing
