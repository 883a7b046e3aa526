#include "vocetta/profile.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

namespace Vocetta::Host {
namespace {

using Json = nlohmann::ordered_json;

constexpr const char* kScoreMethodNames[] = {"MeanAbsoluteDistance", "RootMeanSquareDistance",
                                             "CosineSimilarity"};

// Limits that keep every job the tool builds inside the library's preconditions: a positive
// analysis rate whose half differs from the 500 Hz filter range, a power-of-two block (the FFT is a
// DFT only then), at least one coefficient below the mel channel count.
constexpr int kMinTargetRate = 4000, kMaxTargetRate = 192000;
constexpr int kMinBlock = 64, kMaxBlock = 65536;
constexpr int kMaxMelChannels = 512;

class Reader {
  public:
    explicit Reader(std::string origin) : origin_(std::move(origin)) {}

    [[noreturn]] void Fail(const std::string& where, const std::string& problem) const {
        throw ProfileError(origin_ + ": " + (where.empty() ? "" : where + ": ") + problem);
    }

    const Json& Member(const Json& object, const char* key, const std::string& where) const {
        const auto found = object.find(key);
        if (found == object.end()) {
            Fail(where, std::string("missing \"") + key + "\"");
        }
        return *found;
    }

    int Integer(const Json& object, const char* key, const std::string& where, int low,
                int high) const {
        const Json& value = Member(object, key, where);
        const std::string path = Join(where, key);
        if (!value.is_number_integer()) Fail(path, "must be a whole number");
        const auto number = value.get<int64_t>();
        if (number < low || number > high) {
            Fail(path, std::to_string(number) + " is outside " + std::to_string(low) + " ... " +
                           std::to_string(high));
        }
        return static_cast<int>(number);
    }

    float Number(const Json& value, const std::string& path) const {
        if (!value.is_number()) Fail(path, "must be a number");
        const double number = value.get<double>();
        const auto single = static_cast<float>(number);
        if (!std::isfinite(number) || !std::isfinite(single)) {
            Fail(path, "is not a finite single-precision number");
        }
        return single;
    }

    std::vector<float> Numbers(const Json& object, const char* key, const std::string& where,
                               size_t expected, const std::string& why) const {
        const Json& value = Member(object, key, where);
        const std::string path = Join(where, key);
        if (!value.is_array()) Fail(path, "must be an array of numbers");
        if (value.size() != expected) {
            Fail(path, "has " + std::to_string(value.size()) + " values, expected " +
                           std::to_string(expected) + " (" + why + ")");
        }
        std::vector<float> numbers;
        numbers.reserve(expected);
        for (size_t i = 0; i < value.size(); ++i) {
            numbers.push_back(Number(value[i], path + "[" + std::to_string(i) + "]"));
        }
        return numbers;
    }

    static std::string Join(const std::string& where, const std::string& key) {
        return where.empty() ? key : where + "." + key;
    }

  private:
    std::string origin_;
};

// The shortest decimal that reads back as the same float, kept as a JSON number.
Json FloatValue(float value) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    double number = 0;
    std::from_chars(text, end, number);
    return number;
}

Json FloatArray(const std::vector<float>& values) {
    Json array = Json::array();
    for (float value : values)
        array.push_back(FloatValue(value));
    return array;
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream stream(path, std::ios::binary);
    if (!stream) {
        throw ProfileError(path + ": cannot open the profile: " + std::strerror(errno));
    }
    std::ostringstream text;
    text << stream.rdbuf();
    if (stream.bad()) throw ProfileError(path + ": cannot read the profile");
    return text.str();
}

}  // namespace

int Profile::IndexOf(const std::string& name) const {
    for (size_t i = 0; i < phonemes.size(); ++i) {
        if (phonemes[i].name == name) return static_cast<int>(i);
    }
    return -1;
}

size_t Profile::ReferenceCount() const {
    size_t count = 0;
    for (const Phoneme& phoneme : phonemes)
        count += phoneme.references.size();
    return count;
}

std::vector<float> Profile::ReferenceRows() const {
    std::vector<float> rows;
    rows.reserve(ReferenceCount() * static_cast<size_t>(coefficients));
    for (const Phoneme& phoneme : phonemes) {
        for (const std::vector<float>& reference : phoneme.references)
            rows.insert(rows.end(), reference.begin(), reference.end());
    }
    return rows;
}

std::vector<int> Profile::ReferenceOwners() const {
    std::vector<int> owners;
    for (size_t p = 0; p < phonemes.size(); ++p)
        owners.insert(owners.end(), phonemes[p].references.size(), static_cast<int>(p));
    return owners;
}

int FoldScores(const Profile& profile, const float* referenceScores, float* phonemeScores) {
    const float* row = referenceScores;
    float total = 0;
    for (size_t p = 0; p < profile.phonemes.size(); ++p) {
        const size_t count = profile.phonemes[p].references.size();
        float folded = count == 0 ? 0.0f : row[0];
        for (size_t r = 1; r < count; ++r) {
            folded = profile.folding == Folding::Sum ? folded + row[r] : std::max(folded, row[r]);
        }
        phonemeScores[p] = folded;
        total += folded;
        row += count;
    }
    // The job's scores already sum to 1; the best rows alone do not, and are scaled as it scales.
    if (profile.folding == Folding::Maximum) {
        for (size_t p = 0; p < profile.phonemes.size(); ++p)
            phonemeScores[p] = total > 0 ? phonemeScores[p] / total : 0.0f;
    }
    int best = -1;
    float bestScore = -1.0f;
    for (size_t p = 0; p < profile.phonemes.size(); ++p) {
        if (phonemeScores[p] > bestScore) {
            best = static_cast<int>(p);
            bestScore = phonemeScores[p];
        }
    }
    return best;
}

const char* FoldingName(Folding folding) {
    return folding == Folding::Maximum ? "Maximum" : "Sum";
}

const char* ScoreMethodName(int method) {
    return method >= 0 && method < 3 ? kScoreMethodNames[method] : "unknown";
}

int ScoreMethodFromName(const std::string& name) {
    for (int method = 0; method < 3; ++method) {
        if (name == kScoreMethodNames[method]) return method;
    }
    return -1;
}

void ValidateProfile(const Profile& profile, const std::string& origin) {
    const Reader reader(origin);
    if (profile.targetSampleRate < kMinTargetRate || profile.targetSampleRate > kMaxTargetRate) {
        reader.Fail("analysis.targetSampleRate",
                    std::to_string(profile.targetSampleRate) + " Hz is outside " +
                        std::to_string(kMinTargetRate) + " ... " + std::to_string(kMaxTargetRate));
    }
    if (profile.blockLength < kMinBlock || profile.blockLength > kMaxBlock ||
        (profile.blockLength & (profile.blockLength - 1)) != 0) {
        reader.Fail("analysis.blockLength",
                    std::to_string(profile.blockLength) + " is not a power of two in " +
                        std::to_string(kMinBlock) + " ... " + std::to_string(kMaxBlock));
    }
    if (profile.melChannels < 2 || profile.melChannels > kMaxMelChannels) {
        reader.Fail("analysis.melChannels", std::to_string(profile.melChannels) +
                                                " is outside 2 ... " +
                                                std::to_string(kMaxMelChannels));
    }
    if (profile.coefficients < 1 || profile.coefficients >= profile.melChannels) {
        reader.Fail("analysis.coefficients",
                    std::to_string(profile.coefficients) +
                        " must be at least 1 and below the mel channel count " +
                        std::to_string(profile.melChannels));
    }
    if (profile.scoreMethod < 0 || profile.scoreMethod > 2) {
        reader.Fail("analysis.scoreMethod", "unknown scoring method");
    }
    const auto coefficients = static_cast<size_t>(profile.coefficients);
    auto checkVector = [&](const std::vector<float>& values, const std::string& path) {
        if (values.size() != coefficients) {
            reader.Fail(path, "has " + std::to_string(values.size()) + " values, expected " +
                                  std::to_string(coefficients) + " (the coefficient count)");
        }
        for (size_t i = 0; i < values.size(); ++i) {
            if (!std::isfinite(values[i])) {
                reader.Fail(path + "[" + std::to_string(i) + "]", "is not finite");
            }
        }
    };
    checkVector(profile.means, "means");
    checkVector(profile.standardDeviations, "standardDeviations");
    if (!profile.speakerMeans.empty()) checkVector(profile.speakerMeans, "speakerMeans");
    for (size_t i = 0; i < coefficients; ++i) {
        if (!(profile.standardDeviations[i] > 0)) {
            reader.Fail("standardDeviations[" + std::to_string(i) + "]",
                        "must be greater than 0 (coefficients are divided by it)");
        }
    }
    if (profile.phonemes.empty()) reader.Fail("phonemes", "the profile has no phonemes");
    std::set<std::string> names;
    for (size_t p = 0; p < profile.phonemes.size(); ++p) {
        const Phoneme& phoneme = profile.phonemes[p];
        const std::string where = "phonemes[" + std::to_string(p) + "]";
        if (phoneme.name.empty()) reader.Fail(where + ".name", "is empty");
        if (!names.insert(phoneme.name).second) {
            reader.Fail(where + ".name", "\"" + phoneme.name + "\" appears twice");
        }
        for (size_t c = 0; c < 3; ++c) {
            if (!(phoneme.color[c] >= 0 && phoneme.color[c] <= 1)) {
                reader.Fail(where + ".color[" + std::to_string(c) + "]", "must lie in 0 ... 1");
            }
        }
        if (phoneme.references.empty()) {
            reader.Fail(where + ".references", "a phoneme needs at least one reference");
        }
        for (size_t r = 0; r < phoneme.references.size(); ++r) {
            checkVector(phoneme.references[r], where + ".references[" + std::to_string(r) + "]");
        }
        for (const auto& [set, weights] : phoneme.shapes) {
            if (set.empty()) reader.Fail(where + ".shapes", "a shape set has an empty name");
            for (const auto& [shape, weight] : weights) {
                const std::string path = where + ".shapes." + set + "." + shape;
                if (shape.empty()) reader.Fail(where + ".shapes." + set, "a shape has no name");
                if (!(std::isfinite(weight) && weight >= 0)) {
                    reader.Fail(path, "must be a finite weight of 0 or more");
                }
            }
        }
    }
}

Profile ParseProfile(const std::string& text, const std::string& origin) {
    const Reader reader(origin);
    Json json;
    try {
        json = Json::parse(text);
    } catch (const Json::exception& error) {
        // nlohmann's text starts with its own prefix; keep the part that says where and what.
        std::string what = error.what();
        if (const auto bracket = what.find("] "); bracket != std::string::npos) {
            what = what.substr(bracket + 2);
        }
        reader.Fail("", "not valid JSON: " + what);
    }
    if (!json.is_object()) reader.Fail("", "a profile is a JSON object");
    const Json& format = reader.Member(json, "format", "");
    if (!format.is_string() || format.get<std::string>() != kProfileFormat) {
        reader.Fail("format", std::string("must be \"") + kProfileFormat + "\"");
    }
    const Json& version = reader.Member(json, "version", "");
    if (!version.is_number_integer()) reader.Fail("version", "must be a whole number");
    const int64_t fileVersion = version.get<int64_t>();
    if (fileVersion != 1 && fileVersion != 2) {
        reader.Fail("version",
                    "unknown version " + version.dump() + " (this tool reads versions 1 and 2)");
    }

    Profile profile;
    const Json& analysis = reader.Member(json, "analysis", "");
    if (!analysis.is_object()) reader.Fail("analysis", "must be an object");
    profile.targetSampleRate =
        reader.Integer(analysis, "targetSampleRate", "analysis", kMinTargetRate, kMaxTargetRate);
    profile.melChannels = reader.Integer(analysis, "melChannels", "analysis", 2, kMaxMelChannels);
    profile.coefficients = reader.Integer(analysis, "coefficients", "analysis", 1, kMaxMelChannels);
    profile.blockLength = reader.Integer(analysis, "blockLength", "analysis", kMinBlock, kMaxBlock);
    const Json& method = reader.Member(analysis, "scoreMethod", "analysis");
    profile.scoreMethod = method.is_string() ? ScoreMethodFromName(method.get<std::string>()) : -1;
    if (profile.scoreMethod < 0) {
        reader.Fail("analysis.scoreMethod",
                    "must be \"MeanAbsoluteDistance\", \"RootMeanSquareDistance\" or "
                    "\"CosineSimilarity\"");
    }
    if (const auto folding = analysis.find("folding");
        fileVersion == 2 && folding != analysis.end()) {
        if (folding->is_string() && folding->get<std::string>() == "Sum") {
            profile.folding = Folding::Sum;
        } else if (folding->is_string() && folding->get<std::string>() == "Maximum") {
            profile.folding = Folding::Maximum;
        } else {
            reader.Fail("analysis.folding", "must be \"Sum\" or \"Maximum\"");
        }
    }
    if (profile.coefficients >= profile.melChannels) {
        reader.Fail("analysis.coefficients", std::to_string(profile.coefficients) +
                                                 " must be below the mel channel count " +
                                                 std::to_string(profile.melChannels));
    }

    const auto count = static_cast<size_t>(profile.coefficients);
    profile.means = reader.Numbers(json, "means", "", count, "the coefficient count");
    profile.standardDeviations =
        reader.Numbers(json, "standardDeviations", "", count, "the coefficient count");
    if (fileVersion == 2 && json.contains("speakerMeans")) {
        profile.speakerMeans =
            reader.Numbers(json, "speakerMeans", "", count, "the coefficient count");
    }
    const Json& phonemes = reader.Member(json, "phonemes", "");
    if (!phonemes.is_array()) reader.Fail("phonemes", "must be an array");
    for (size_t p = 0; p < phonemes.size(); ++p) {
        const std::string where = "phonemes[" + std::to_string(p) + "]";
        const Json& entry = phonemes[p];
        if (!entry.is_object()) reader.Fail(where, "must be an object");
        Phoneme phoneme;
        const Json& name = reader.Member(entry, "name", where);
        if (!name.is_string()) reader.Fail(where + ".name", "must be a string");
        phoneme.name = name.get<std::string>();
        const auto color = reader.Numbers(entry, "color", where, 3, "red, green, blue");
        std::copy(color.begin(), color.end(), phoneme.color.begin());
        if (fileVersion == 1) {
            phoneme.references.push_back(
                reader.Numbers(entry, "reference", where, count, "the coefficient count"));
        } else {
            const Json& references = reader.Member(entry, "references", where);
            if (!references.is_array() || references.empty()) {
                reader.Fail(where + ".references", "must be a non-empty array of references");
            }
            for (size_t r = 0; r < references.size(); ++r) {
                const std::string path = where + ".references[" + std::to_string(r) + "]";
                if (!references[r].is_array()) reader.Fail(path, "must be an array of numbers");
                if (references[r].size() != count) {
                    reader.Fail(path, "has " + std::to_string(references[r].size()) +
                                          " values, expected " + std::to_string(count) +
                                          " (the coefficient count)");
                }
                std::vector<float> reference;
                for (size_t i = 0; i < count; ++i) {
                    reference.push_back(
                        reader.Number(references[r][i], path + "[" + std::to_string(i) + "]"));
                }
                phoneme.references.push_back(std::move(reference));
            }
            if (const auto shapes = entry.find("shapes"); shapes != entry.end()) {
                if (!shapes->is_object()) reader.Fail(where + ".shapes", "must be an object");
                for (const auto& [set, weights] : shapes->items()) {
                    const std::string path = where + ".shapes." + set;
                    if (!weights.is_object()) {
                        reader.Fail(path, "must be an object of shape names and weights");
                    }
                    auto& into = phoneme.shapes[set];
                    for (const auto& [shape, weight] : weights.items()) {
                        into[shape] = reader.Number(weight, path + "." + shape);  // a float
                    }
                }
            }
        }
        profile.phonemes.push_back(std::move(phoneme));
    }
    ValidateProfile(profile, origin);
    return profile;
}

Profile LoadProfile(const std::string& path) {
    return ParseProfile(ReadWholeFile(path), path);
}

std::string SerializeProfile(const Profile& profile) {
    // Version 1 whenever it can hold the profile, so that older readers keep reading it.
    bool needsVersion2 = profile.folding != Folding::Sum || !profile.speakerMeans.empty();
    for (const Phoneme& phoneme : profile.phonemes) {
        needsVersion2 = needsVersion2 || phoneme.references.size() != 1 || !phoneme.shapes.empty();
    }
    Json json;
    json["format"] = kProfileFormat;
    json["version"] = needsVersion2 ? 2 : 1;
    json["analysis"] = {{"targetSampleRate", profile.targetSampleRate},
                        {"melChannels", profile.melChannels},
                        {"coefficients", profile.coefficients},
                        {"blockLength", profile.blockLength},
                        {"scoreMethod", ScoreMethodName(profile.scoreMethod)}};
    if (needsVersion2) json["analysis"]["folding"] = FoldingName(profile.folding);
    json["means"] = FloatArray(profile.means);
    json["standardDeviations"] = FloatArray(profile.standardDeviations);
    if (!profile.speakerMeans.empty()) json["speakerMeans"] = FloatArray(profile.speakerMeans);
    Json phonemes = Json::array();
    for (const Phoneme& phoneme : profile.phonemes) {
        Json entry = {{"name", phoneme.name},
                      {"color", FloatArray({phoneme.color.begin(), phoneme.color.end()})}};
        if (!needsVersion2) {
            entry["reference"] = FloatArray(phoneme.references.at(0));
        } else {
            Json references = Json::array();
            for (const std::vector<float>& reference : phoneme.references)
                references.push_back(FloatArray(reference));
            entry["references"] = std::move(references);
            if (!phoneme.shapes.empty()) {
                Json shapes = Json::object();
                for (const auto& [set, weights] : phoneme.shapes) {
                    Json named = Json::object();
                    for (const auto& [shape, weight] : weights)
                        named[shape] = FloatValue(weight);
                    shapes[set] = std::move(named);
                }
                entry["shapes"] = std::move(shapes);
            }
        }
        phonemes.push_back(std::move(entry));
    }
    json["phonemes"] = std::move(phonemes);
    return json.dump(2) + "\n";
}

}  // namespace Vocetta::Host
