#include "vocetta/transcript.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "vocetta/smoother.hpp"

namespace Vocetta::Host {

namespace {

// One code point of UTF-8 at `at`, which moves past it; false at the end or on a bad sequence.
bool NextCodePoint(std::string_view text, size_t& at, char32_t& code) {
    if (at >= text.size()) return false;
    const auto lead = static_cast<unsigned char>(text[at]);
    size_t length = lead < 0x80           ? 1
                    : (lead >> 5) == 0x6  ? 2
                    : (lead >> 4) == 0xE  ? 3
                    : (lead >> 3) == 0x1E ? 4
                                          : 0;
    if (length == 0 || at + length > text.size()) return false;
    code = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next >> 6) != 0x2) return false;
        code = (code << 6) | (next & 0x3F);
    }
    at += length;
    return true;
}

// The first code point of a phone, 0 when it has none.
char32_t FirstCode(std::string_view phone) {
    size_t at = 0;
    char32_t code = 0;
    return NextCodePoint(phone, at, code) ? code : 0;
}

// Marks that belong to no phone: stress, length, ties, syllable and group boundaries.
bool Separator(char32_t code) {
    if (code < 0x80) return !((code >= 'a' && code <= 'z') || (code >= 'A' && code <= 'Z'));
    switch (code) {
        case 0x02C8:  // ˈ
        case 0x02CC:  // ˌ
        case 0x02D0:  // ː
        case 0x02D1:  // ˑ
        case 0x035C:  // the ties below and above
        case 0x0361:
        case 0x203F:  // ‿
        case 0x2016:  // ‖
            return true;
        default:
            return false;
    }
}

// What ends a word: spaces, line breaks and punctuation, not the marks within one.
bool WordBreak(char32_t code) {
    return code < 0x80 || code == 0x2016;
}

// Diacritics and modifier letters, which change the phone before them.
bool Diacritic(char32_t code) {
    return (code >= 0x0300 && code <= 0x036F) || (code >= 0x02B0 && code <= 0x02FF) ||
           (code >= 0x1DC0 && code <= 0x1DFF) || (code >= 0x2070 && code <= 0x209F);
}

}  // namespace

std::vector<std::string> SplitIpa(std::string_view ipa) {
    std::vector<std::string> phones;
    bool open = false;  // whether a diacritic may still join the last phone
    size_t at = 0;
    char32_t code = 0;
    for (size_t start = at; NextCodePoint(ipa, at, code); start = at) {
        const std::string_view symbol = ipa.substr(start, at - start);
        if (code == '(') {
            // espeak-ng names a change of language so, "(en)wiːkˈɛnd(fr)"; a written transcript
            // puts a sound that may be left out there. Neither is sure to be said.
            const size_t close = ipa.find(')', at);
            at = close == std::string_view::npos ? ipa.size() : close + 1;
        }
        if (Separator(code)) {
            // Between words a pause may fall; stress and length marks join a word's phones.
            if (WordBreak(code) && !phones.empty() && phones.back() != kWordBreak)
                phones.emplace_back(kWordBreak);
            open = false;
        } else if (Diacritic(code)) {
            if (open) phones.back() += symbol;
        } else {
            phones.emplace_back(symbol);
            open = true;
        }
    }
    if (!phones.empty() && phones.back() == kWordBreak) phones.pop_back();
    return phones;
}

std::vector<std::string> IpaWords(std::string_view ipa) {
    std::vector<std::string> words;
    bool start = true;
    for (const std::string& phone : SplitIpa(ipa)) {
        if (phone == kWordBreak) {
            start = true;
            continue;
        }
        if (start) words.emplace_back();
        start = false;
        words.back() += phone;
    }
    return words;
}

namespace {

// The symbols each class starts with: IPA's, and the Latin letters with accents that a hand-typed
// transcript may use for them.
struct ClassSymbols {
    const char* phonemeClass;
    std::u32string_view symbols;
};
constexpr ClassSymbols kClassSymbols[] = {
    {"A", U"aɑæʌɶàáâãäå"}, {"I", U"iyɪʏɨìíîïü"}, {"U", U"uʊɯʉùúû"}, {"E", U"eɛøœèéêëö"},
    {"O", U"oɔɒɵɤòóôõ"},   {"M", U"mɱ"},         {"FV", U"fv"},     {"S", U"sʃɕʂ"},
};
// b and p close the lips as m does, but their closure is silence and their release a burst, not
// the hum the class learnt from m: they are aligned as stops (HeardAsOther) and shown as M. Found
// by their closure's silence as the other stops are, vowel frames 91.1 -> 91.4 %, at 10 dB SNR
// 85.8 -> 87.0 %, pauses at rest in the cues 96.7 -> 96.1 %.
constexpr std::u32string_view kClosingStops = U"bpɓ";
// Phones without a class that sound nearly as a class does: found by its score, labelled by their
// frames' own. Chosen on the validation voices' 216 sentences (scripts/transcript-experiment.py
// --tool and evaluate-mouth.py --visemes --transcripts): the three together take vowel frames from
// 90.6 to 91.1 %, the consonants' visemes from 50.8 to 58.6 % and the vowels' from 86.9 to 88.9 %;
// the stops alone gave 91.4, 54.3 and 87.8 %, the nasals 90.4, 54.5 and 87.6 %, the sibilants 90.8,
// 51.2 and 87.2 %; θ ð as FV, j as I, w as U and l as A gained nothing.
struct SoundsLikeClass {
    const char* phonemeClass;
    std::u32string_view symbols;
};
constexpr SoundsLikeClass kSoundsLike[] = {
    {"sil", U"tdkgɡqcɟʈɖ"},  // a closure's silence
    {"M", U"nŋɲɳɴ"},         // the nasal hum, with the lips open
    {"S", U"zʒʐʑ"},          // the hiss, voiced
};

}  // namespace

std::string_view IpaClass(std::string_view phone) {
    const char32_t code = FirstCode(phone);
    if (code == 0) return "";
    for (const ClassSymbols& entry : kClassSymbols) {
        if (entry.symbols.find(code) != std::u32string_view::npos) return entry.phonemeClass;
    }
    return "";
}

std::vector<int> TranscriptLabels(std::string_view ipa, const std::vector<std::string>& names) {
    const auto lips = std::find(names.begin(), names.end(), "M");
    std::vector<int> labels;
    for (const std::string& phone : SplitIpa(ipa)) {
        if (phone == kWordBreak) {
            if (!labels.empty()) labels.push_back(kPauseMayFall);
            continue;
        }
        const std::string_view phonemeClass = IpaClass(phone);
        const auto found = std::find(names.begin(), names.end(), phonemeClass);
        const int label = phonemeClass.empty() || found == names.end()
                              ? -1
                              : static_cast<int>(found - names.begin());
        const char32_t code = FirstCode(phone);
        const bool closing = code != 0 && kClosingStops.find(code) != std::u32string_view::npos;
        int like = -1;
        for (const SoundsLikeClass& entry : kSoundsLike) {
            const auto found = std::find(names.begin(), names.end(), entry.phonemeClass);
            if (code != 0 && entry.symbols.find(code) != std::u32string_view::npos &&
                found != names.end())
                like = static_cast<int>(found - names.begin());
        }
        labels.push_back(closing && lips != names.end()
                             ? HeardAsOther(static_cast<int>(lips - names.begin()))
                         : label < 0 && like >= 0 ? SoundsLike(like)
                                                  : label);
    }
    return labels;
}

namespace {

size_t FewestFrames(int label, const TranscriptAlignment& alignment) {
    return std::max<size_t>(1, label >= 0 ? alignment.classFrames : alignment.otherFrames);
}

}  // namespace

TranscriptAlignment TranscriptAlignment::ForHop(double hopSeconds) {
    TranscriptAlignment alignment;
    // A hop that is no number, or none at all, leaves the cap by the line's mean to decide.
    const auto frames = [hopSeconds](size_t tenMilliseconds) {
        const double count = std::round(0.01 * double(tenMilliseconds) / hopSeconds);
        return count >= 1 ? static_cast<size_t>(std::min(count, 1e6)) : size_t{1};
    };
    alignment.classFrames = frames(kTranscriptClassFrames);
    alignment.otherFrames = frames(kTranscriptOtherFrames);
    return alignment;
}

size_t TranscriptAlignmentStates(const std::vector<int>& transcript,
                                 const TranscriptAlignment& alignment) {
    size_t states = 1;
    for (const int label : transcript) {
        if (label != kPauseMayFall) states += 1 + FewestFrames(label, alignment);
    }
    return states;
}

std::vector<int> AlignTranscript(const std::vector<float>& logScores, size_t states, int silence,
                                 const std::vector<int>& transcript,
                                 const TranscriptAlignment& alignment,
                                 std::vector<unsigned char>* said, std::vector<int>* phoneOf) {
    const size_t frames = states == 0 ? 0 : logScores.size() / states;
    if (said != nullptr) said->assign(frames, 1);
    if (phoneOf != nullptr) phoneOf->assign(frames, -1);
    if (frames == 0) return {};
    // The phones as the path reads them, and where a pause may come before each (and after the
    // last). A phone's frames score at least as the state it is scored as, and never less than
    // the frame's best less its drop; they take the label it is shown as, or each its best.
    struct Phone {
        int scoredAs;  // a state, or -1
        float drop;
        int shownAs;  // a label, or -1
        size_t fewest;
    };
    const Phone unknown{-1, alignment.otherPenalty, -1, FewestFrames(-1, alignment)};
    // A label that names no state is a phone without a class, never a read past the frame's row.
    const auto known = [states](int label) { return label >= 0 && size_t(label) < states; };
    std::vector<Phone> phones;
    std::vector<unsigned char> pause{1};
    for (const int label : transcript) {
        if (label == kPauseMayFall) {
            pause.back() = 1;
            continue;
        }
        Phone phone = unknown;
        if (label >= 0) {
            if (known(label))
                phone = {label, alignment.mismatchFloor, label, FewestFrames(label, alignment)};
        } else if (label <= kSoundsLikeBase) {
            if (known(SoundsLike(label))) phone.scoredAs = SoundsLike(label);
        } else if (label <= -3 && known(HeardAsOther(label))) {
            phone.scoredAs = silence;  // a stop's closure
            phone.shownAs = HeardAsOther(label);
        }
        phones.push_back(phone);
        pause.push_back(0);
    }
    pause.back() = 1;
    if (phones.empty()) return std::vector<int>(frames, silence);
    // Without a silence among the states no pause can be scored: nothing to align with.
    if (frames < phones.size() || silence < 0 || size_t(silence) >= states) {
        if (said != nullptr) said->assign(frames, 0);
        return SmoothPath(logScores, states, alignment.switchCost);
    }
    // No phone's fewest frames above the line's mean, of the frames that sound: a fast talker's
    // phones are shorter than a slow one's.
    size_t sounding = 0;
    for (size_t frame = 0; frame < frames; ++frame) {
        const float* row = logScores.data() + frame * states;
        sounding += std::max_element(row, row + states) - row != silence;
    }
    const size_t mean = std::max<size_t>(1, sounding / phones.size());
    // The chains then fit the frames: together no longer than the sounding frames, or than the
    // phones, a frame each, which the frames outnumber.
    std::vector<size_t> lengths;
    for (const Phone& phone : phones)
        lengths.push_back(std::min(phone.fewest, mean));
    // Each phone lasts its fewest frames or more: a chain of that many states, of which only the
    // last may repeat. The pause before phone i comes before its chain, so a state is entered from
    // the one before it, or a chain's first from the chain before, past the pause.
    struct State {
        int phone;  // the phone of the state, or -1 in the pause before phone `pauseOf`
        size_t pauseOf;
        bool repeats, first;  // may stay; the first of its phone's chain
    };
    std::vector<State> chain;
    for (size_t i = 0; i <= phones.size(); ++i) {
        chain.push_back({-1, i, true, false});
        if (i == phones.size()) break;
        for (size_t j = 0; j < lengths[i]; ++j)
            chain.push_back({static_cast<int>(i), i, j + 1 == lengths[i], j == 0});
    }
    enum Step : std::uint8_t { kStay, kFromPrevious, kPastPause };
    const size_t path = chain.size();
    constexpr double kNone = -std::numeric_limits<double>::infinity();
    std::vector<double> total(path, kNone), next(path);
    std::vector<std::uint8_t> steps(frames * path, kStay);
    std::vector<double> emit(path);
    const auto emissions = [&](size_t frame) {
        const float* row = logScores.data() + frame * states;
        const double best = *std::max_element(row, row + states);
        for (size_t s = 0; s < path; ++s) {
            if (chain[s].phone < 0) {
                emit[s] = pause[chain[s].pauseOf] ? double(row[silence]) : kNone;
            } else {
                const Phone& phone = phones[static_cast<size_t>(chain[s].phone)];
                const double floor = best - double(phone.drop);
                emit[s] =
                    phone.scoredAs >= 0 ? std::max(double(row[phone.scoredAs]), floor) : floor;
            }
        }
    };
    emissions(0);
    total[0] = emit[0];
    total[1] = emit[1];
    for (size_t frame = 1; frame < frames; ++frame) {
        emissions(frame);
        std::uint8_t* step = steps.data() + frame * path;
        for (size_t s = 0; s < path; ++s) {
            double best = chain[s].repeats ? total[s] : kNone;
            if (s >= 1 && total[s - 1] > best) {
                best = total[s - 1];
                step[s] = kFromPrevious;
            }
            if (chain[s].first && s >= 3 && total[s - 2] > best) {
                best = total[s - 2];
                step[s] = kPastPause;
            }
            next[s] = best + emit[s];
        }
        total.swap(next);
    }
    size_t state = total[path - 1] >= total[path - 2] ? path - 1 : path - 2;
    std::vector<int> labels(frames);
    for (size_t frame = frames; frame-- > 0;) {
        const float* row = logScores.data() + frame * states;
        if (chain[state].phone < 0) {
            labels[frame] = silence;
        } else {
            const int shown = phones[static_cast<size_t>(chain[state].phone)].shownAs;
            labels[frame] =
                shown >= 0 ? shown : static_cast<int>(std::max_element(row, row + states) - row);
            if (said != nullptr && shown < 0) (*said)[frame] = 0;
            if (phoneOf != nullptr) (*phoneOf)[frame] = chain[state].phone;
        }
        const std::uint8_t step = steps[frame * path + state];
        state -= step == kStay ? 0 : step == kFromPrevious ? 1 : 2;
    }
    return labels;
}

std::vector<float> TranscriptScores(const std::vector<float>& scores, size_t phonemes,
                                    const std::vector<int>& labels,
                                    const std::vector<unsigned char>& said, int silence) {
    std::vector<float> mouth = scores;
    for (size_t frame = 0; frame < labels.size() && frame < said.size(); ++frame) {
        const int label = labels[frame];
        if (!said[frame] || label == silence || label < 0 || size_t(label) >= phonemes ||
            (frame + 1) * phonemes > mouth.size())
            continue;
        float* row = mouth.data() + frame * phonemes;
        std::fill(row, row + phonemes, 0.0f);
        row[label] = 1.0f;
    }
    return mouth;
}

namespace {

// The shapes of the consonants, by the phone's first symbol.
struct PhoneShapes {
    const char* cartoon;
    const char* viseme;
    std::u32string_view symbols;
};
constexpr PhoneShapes kPhoneShapes[] = {
    {"A", "PP", U"mɱbpɓʙ"},
    {"G", "FF", U"fvɸβ"},
    {"B", "TH", U"θð"},
    // The flap of American English "butter" is a d, and in a tap r the tongue moves as for one.
    {"B", "DD", U"tdʈɖɗɾ"},
    {"B", "kk", U"kgɡŋxɣqɢχcɟɠɰ"},
    {"B", "CH", U"ʃʒɕʑʂʐç"},
    {"B", "SS", U"sz"},
    {"B", "nn", U"nɲɳɴ"},
    {"H", "nn", U"lɫʎɭɬɮʟ"},
    {"B", "RR", U"rɹʁʀɻɽ"},
    {"E", "RR", U"ɚɝ"},
    {"F", "ou", U"wʍɥ"},
    {"B", "ih", U"j"},
};
constexpr std::u32string_view kPostalveolars = U"ʃʒ";

}  // namespace

int PhoneShape(ShapeSet set, std::string_view phone) {
    const char32_t code = FirstCode(phone);
    if (code == 0) return -1;
    for (const PhoneShapes& entry : kPhoneShapes) {
        if (entry.symbols.find(code) != std::u32string_view::npos)
            return ShapeIndex(set, set == ShapeSet::Visemes ? entry.viseme : entry.cartoon);
    }
    return -1;
}

std::vector<int> TranscriptShapes(std::string_view ipa, ShapeSet set,
                                  const std::vector<int>& phones) {
    // The phones in the order the alignment counts them, and the shape of each.
    const std::vector<std::string> split = SplitIpa(ipa);
    std::vector<int> shapes;
    for (size_t i = 0; i < split.size(); ++i) {
        if (split[i] == kWordBreak) continue;
        int shape = PhoneShape(set, split[i]);
        const char32_t code = FirstCode(split[i]);
        if (set == ShapeSet::Visemes && (code == U't' || code == U'd') && i + 1 < split.size() &&
            kPostalveolars.find(FirstCode(split[i + 1])) != std::u32string_view::npos) {
            shape = ShapeIndex(set, "CH");
        }
        shapes.push_back(shape);
    }
    std::vector<int> frames;
    frames.reserve(phones.size());
    for (const int phone : phones) {
        frames.push_back(phone >= 0 && static_cast<size_t>(phone) < shapes.size()
                             ? shapes[static_cast<size_t>(phone)]
                             : -1);
    }
    return frames;
}

namespace {

// What separates written words: spaces, and the dashes and ellipsis that stand between words.
bool WordSpace(char32_t code) {
    return code <= 0x20 || code == 0x7F || code == 0x00A0 || code == 0x1680 ||
           (code >= 0x2000 && code <= 0x200B) || (code >= 0x2013 && code <= 0x2015) ||
           code == 0x2026 || code == 0x2028 || code == 0x2029 || code == 0x202F || code == 0x205F ||
           code == 0x3000;
}

// Punctuation that a word's ends lose: stops, quotes, brackets, dashes, inverted marks, and the
// same in general, CJK and full-width punctuation.
bool EdgePunctuation(char32_t code) {
    if (code < 0x80) {
        return code == '.' || code == ',' || code == ';' || code == ':' || code == '!' ||
               code == '?' || code == '"' || code == '\'' || code == '(' || code == ')' ||
               code == '[' || code == ']' || code == '{' || code == '}' || code == '-';
    }
    return code == 0x00A1 || code == 0x00AB || code == 0x00BB || code == 0x00BF ||
           (code >= 0x2010 && code <= 0x2027) || code == 0x2039 || code == 0x203A ||
           (code >= 0x3001 && code <= 0x3003) || (code >= 0x3008 && code <= 0x3011) ||
           code == 0xFF01 || code == 0xFF02 || code == 0xFF07 || code == 0xFF08 || code == 0xFF09 ||
           code == 0xFF0C || code == 0xFF0E || (code >= 0xFF1A && code <= 0xFF1F);
}

// The phones of IPA, each with the index of its word.
struct WordPhones {
    std::vector<std::string> phones;
    std::vector<size_t> word;
    size_t words = 0;

    // The phones of `ipa`, as words of their own (a line), or all of word `index`.
    void Add(std::string_view ipa, bool ownWords, size_t index) {
        size_t breaks = 0;
        for (std::string& phone : SplitIpa(ipa)) {
            if (phone == kWordBreak) {
                ++breaks;
                continue;
            }
            phones.push_back(std::move(phone));
            word.push_back(ownWords ? breaks : index);
        }
        if (ownWords && !phones.empty()) words = breaks + 1;
    }
};

// Pairs of phones a and b (a of `from`, b of `to`) that the cheapest alignment of the two matches
// or substitutes, and its cost: an edit distance, each phone put in, left out or changed costing
// 1. The phonemiser's two readings of one line differ only here and there, so the alignment is
// searched within a band of the diagonal: memory and time grow with the line, not its square.
struct PhoneAlignment {
    std::vector<std::pair<size_t, size_t>> pairs;
    size_t cost = 0;
};

PhoneAlignment AlignPhones(const std::vector<std::string>& from,
                           const std::vector<std::string>& to) {
    constexpr size_t kReach = 24;  // phones either side of the diagonal
    constexpr size_t kWidth = 2 * kReach + 1;
    constexpr uint32_t kFar = std::numeric_limits<uint32_t>::max() / 2;
    const size_t n = from.size(), m = to.size();
    const auto first = [&](size_t row) {
        const size_t centre = n == 0 ? 0 : row * m / n;
        return centre > kReach ? centre - kReach : 0;
    };
    const auto last = [&](size_t row) {
        const size_t centre = n == 0 ? 0 : row * m / n;
        return std::min(m, centre + kReach);
    };
    // moves[row][column - first(row)]: 0 both phones, 1 a phone of `from` left out, 2 one of `to`
    // put in.
    std::vector<unsigned char> moves((n + 1) * kWidth, 0);
    std::vector<uint32_t> above(kWidth, kFar), here(kWidth, kFar);
    for (size_t row = 0; row <= n; ++row) {
        const size_t lo = first(row), hi = last(row);
        const size_t aboveLo = row == 0 ? 0 : first(row - 1),
                     aboveHi = row == 0 ? 0 : last(row - 1);
        std::fill(here.begin(), here.end(), kFar);
        for (size_t column = lo; column <= hi; ++column) {
            uint32_t best = kFar;
            unsigned char move = 0;
            if (row == 0 && column == 0) {
                best = 0;
            } else {
                if (row > 0 && column > 0 && column - 1 >= aboveLo && column - 1 <= aboveHi) {
                    best = above[column - 1 - aboveLo] + (from[row - 1] == to[column - 1] ? 0 : 1);
                }
                if (row > 0 && column >= aboveLo && column <= aboveHi &&
                    above[column - aboveLo] + 1 < best) {
                    best = above[column - aboveLo] + 1;
                    move = 1;
                }
                if (column > lo && here[column - 1 - lo] + 1 < best) {
                    best = here[column - 1 - lo] + 1;
                    move = 2;
                }
            }
            here[column - lo] = best;
            moves[row * kWidth + (column - lo)] = move;
        }
        std::swap(above, here);
    }
    PhoneAlignment alignment;
    if (m < first(n) || m > last(n) || above[m - first(n)] >= kFar) {
        alignment.cost = std::max(n, m);
        return alignment;
    }
    alignment.cost = above[m - first(n)];
    for (size_t row = n, column = m; row > 0 || column > 0;) {
        const unsigned char move = moves[row * kWidth + (column - first(row))];
        if (move == 0) {
            alignment.pairs.emplace_back(row - 1, column - 1);
            --row;
            --column;
        } else if (move == 1) {
            --row;
        } else {
            --column;
        }
    }
    std::reverse(alignment.pairs.begin(), alignment.pairs.end());
    return alignment;
}

}  // namespace

namespace {

struct Brackets {
    std::string_view open, close;
};
constexpr Brackets kDirections[] = {{"(", ")"},
                                    {"[", "]"},
                                    {"{", "}"},
                                    {"<", ">"},
                                    {"\xef\xbc\x88", "\xef\xbc\x89"},   // （ ）
                                    {"\xef\xbc\xbb", "\xef\xbc\xbd"},   // ［ ］
                                    {"\xe3\x80\x90", "\xe3\x80\x91"}};  // 【 】

// A byte of a word: a letter, a digit or any byte of a character beyond ASCII.
bool WordByte(char byte) {
    const unsigned char c = static_cast<unsigned char>(byte);
    return c >= 0x80 || (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
}

// Past the end of the span each opening bracket of `text` opens (brackets of its own kind nested
// in it), or npos for one that does not close on its line; matched in one pass, so that a scene
// of a million "(" costs no more than its words.
std::vector<size_t> DirectionEnds(std::string_view text) {
    std::vector<size_t> ends(text.size(), std::string_view::npos);
    std::vector<size_t> open[std::size(kDirections)];
    for (size_t at = 0; at < text.size();) {
        if (text[at] == '\n') {
            for (std::vector<size_t>& unclosed : open)
                unclosed.clear();
            ++at;
            continue;
        }
        size_t step = 1;
        for (size_t kind = 0; kind < std::size(kDirections); ++kind) {
            const Brackets& brackets = kDirections[kind];
            if (text.substr(at).starts_with(brackets.open)) {
                open[kind].push_back(at);
                step = brackets.open.size();
                break;
            }
            if (text.substr(at).starts_with(brackets.close)) {
                step = brackets.close.size();
                if (!open[kind].empty()) {
                    ends[open[kind].back()] = at + step;
                    open[kind].pop_back();
                }
                break;
            }
        }
        at += step;
    }
    return ends;
}

// Whether text[at] starts the tags that end a line of Ink or Yarn ("#happy", "#line:0a1b2c",
// Ink's "# tag with words"): a '#' that is no word's last character ("C#") nor a number's sign
// ("#1"). They run to the end of their line.
bool TagStart(std::string_view text, size_t at) {
    if (text[at] != '#' || (at > 0 && WordByte(text[at - 1]))) return false;
    return at + 1 == text.size() || text[at + 1] < '0' || text[at + 1] > '9';
}

}  // namespace

std::string SpokenText(std::string_view text) {
    const std::vector<size_t> ends = DirectionEnds(text);
    std::string spoken;
    spoken.reserve(text.size());
    // What is left out between `spoken`'s end and text[at] joins a word's two parts, and keeps a
    // word apart from the stop before it ("so.(beat)No" is "so. No").
    const auto leaveOut = [&](size_t at) {
        if (spoken.empty() || at >= text.size()) return;
        const auto space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
        if (space(spoken.back()) || space(text[at])) return;
        if (!WordByte(spoken.back()) && WordByte(text[at])) spoken += ' ';
    };
    for (size_t at = 0; at < text.size();) {
        if (text[at] == '*') {
            leaveOut(++at);
            continue;
        }
        if (TagStart(text, at)) {
            at = std::min(text.find('\n', at), text.size());
            continue;
        }
        const size_t end = ends[at];
        if (end == std::string_view::npos) {
            spoken += text[at++];
        } else {
            leaveOut(end);
            at = end;
        }
    }
    return spoken;
}

std::string WithoutSpeakerNames(std::string_view text) {
    std::string spoken;
    spoken.reserve(text.size());
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    for (size_t start = 0; start <= text.size();) {
        const size_t end = std::min(text.find('\n', start), text.size());
        const std::string_view line = text.substr(start, end - start);
        // The name ends at the line's first colon before a space or the line's end: a clock's
        // "10:30" or a tag's "line:0a1b" is none, and "\:" is a colon of the words.
        size_t from = 0;
        for (size_t at = 0; at < line.size(); ++at) {
            if (line[at] != ':' || (at > 0 && line[at - 1] == '\\')) continue;
            if (at + 1 < line.size() && !blank(line[at + 1])) continue;
            if (std::any_of(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(at),
                            [&](char c) { return !blank(c); })) {
                from = at + 1;
                while (from < line.size() && blank(line[from]))
                    ++from;
            }
            break;
        }
        for (size_t at = from; at < line.size(); ++at) {
            if (line[at] == '\\' && at + 1 < line.size() && line[at + 1] == ':') continue;
            spoken += line[at];
        }
        if (end < text.size()) spoken += '\n';
        start = end + 1;
    }
    return spoken;
}

std::vector<std::string> SplitWords(std::string_view text) {
    std::vector<std::string> words;
    // The current word's part between the punctuation at its edges.
    size_t at = 0, first = 0, last = 0;
    bool named = false;
    char32_t code = 0;
    const auto finish = [&] {
        if (named) words.emplace_back(text.substr(first, last - first));
        named = false;
    };
    for (size_t before = at; NextCodePoint(text, at, code); before = at) {
        if (WordSpace(code)) {
            finish();
            continue;
        }
        if (EdgePunctuation(code)) continue;
        if (!named) first = before;
        named = true;
        last = at;
    }
    finish();
    return words;
}

std::vector<std::string> WrittenWordNames(std::string_view ipa,
                                          const std::vector<std::string>& written,
                                          const std::vector<std::string>& writtenIpa) {
    if (written.size() != writtenIpa.size() || written.empty()) return {};
    WordPhones line, alone;
    line.Add(ipa, true, 0);
    for (size_t i = 0; i < writtenIpa.size(); ++i)
        alone.Add(writtenIpa[i], false, i);
    const size_t n = line.phones.size(), m = alone.phones.size();
    // Two readings of one text differ in a phone here and there, not in a quarter of them.
    if (n == 0 || 4 * (n > m ? n - m : m - n) > std::max(n, m) + 4) return {};
    const PhoneAlignment alignment = AlignPhones(line.phones, alone.phones);
    if (4 * alignment.cost > std::max(n, m) + 4) return {};
    // How many of each written word's phones fall in each word of the line, in order.
    std::vector<std::vector<std::pair<size_t, size_t>>> overlaps(written.size());
    for (const auto& [a, b] : alignment.pairs) {
        auto& counts = overlaps[alone.word[b]];
        if (counts.empty() || counts.back().first != line.word[a]) {
            counts.emplace_back(line.word[a], 0);
        }
        ++counts.back().second;
    }
    constexpr size_t kNone = std::numeric_limits<size_t>::max();
    std::vector<size_t> home(written.size(), kNone);
    for (size_t i = 0; i < written.size(); ++i) {
        size_t most = 0;
        for (const auto& [word, count] : overlaps[i]) {
            if (count > most) {
                most = count;
                home[i] = word;
            }
        }
    }
    // A written word none of whose phones were matched (said as nothing, or all changed) stays
    // beside its neighbours: with the word before it, or the first word after it.
    for (size_t i = 1; i < written.size(); ++i) {
        if (home[i] == kNone) home[i] = home[i - 1];
    }
    for (size_t i = written.size() - 1; i-- > 0;) {
        if (home[i] == kNone) home[i] = home[i + 1];
    }
    if (home[0] == kNone) return {};
    std::vector<std::string> names(line.words);
    for (size_t i = 0; i < written.size(); ++i) {
        std::string& name = names[home[i]];
        name += (name.empty() ? "" : " ") + written[i];
    }
    // A word no written word went to is one of several a written word is said as (named by the
    // written word most of its phones were matched with), or holds only sounds the words alone
    // lack, as a liaison's consonant ("les enfants": le z ɑ̃fɑ̃), named by the word matched
    // nearest before it, else after.
    std::vector<size_t> matched(n, kNone);
    for (const auto& [a, b] : alignment.pairs)
        matched[a] = alone.word[b];
    for (size_t k = 0; k < n;) {
        const size_t word = line.word[k];
        size_t end = k;
        while (end < n && line.word[end] == word)
            ++end;
        if (names[word].empty()) {
            std::vector<std::pair<size_t, size_t>> counts;  // (written word, phones), in order
            for (size_t j = k; j < end; ++j) {
                if (matched[j] == kNone) continue;
                if (counts.empty() || counts.back().first != matched[j])
                    counts.emplace_back(matched[j], 0);
                ++counts.back().second;
            }
            size_t most = 0, chosen = kNone;
            for (const auto& [i, count] : counts) {
                if (count > most) {
                    most = count;
                    chosen = i;
                }
            }
            for (size_t j = k; chosen == kNone && j-- > 0;)
                chosen = matched[j];
            for (size_t j = end; chosen == kNone && j < n; ++j)
                chosen = matched[j];
            names[word] = written[chosen];
        }
        k = end;
    }
    return names;
}

}  // namespace Vocetta::Host
