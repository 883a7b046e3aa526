// Reading the SDK's json files (cues, curves, rigs) with messages that name the file, the member
// and the problem: "line.json: mouthCues[3].end: must be a number of seconds, 0 or more".
#pragma once

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "vocetta/cues.hpp"

namespace Vocetta::Host {

using Json = nlohmann::ordered_json;  // messages name the first fault in the file's order

class Reader {
  public:
    explicit Reader(const std::string& origin) : origin_(origin) {}

    [[noreturn]] void Fail(const std::string& where, const std::string& problem) const {
        throw CueError(origin_ + ": " + (where.empty() ? "" : where + ": ") + problem);
    }

    Json Parse(std::string_view text) const {
        Json json = Json::parse(text, nullptr, false);
        if (json.is_discarded()) Fail("", "not JSON");
        if (!json.is_object()) Fail("", "not a JSON object");
        return json;
    }

    const Json& Member(const Json& object, const char* key, const std::string& where,
                       Json::value_t type) const {
        const std::string path = where.empty() ? key : where + "." + key;
        const auto found = object.find(key);
        if (found == object.end()) Fail(where, std::string("missing \"") + key + "\"");
        const bool number = type == Json::value_t::number_float;
        if (number ? !found->is_number() : found->type() != type) {
            Fail(path, number                          ? "must be a number"
                       : type == Json::value_t::object ? "must be an object"
                       : type == Json::value_t::array  ? "must be a list"
                       : type == Json::value_t::string ? "must be a string"
                                                       : "must be a whole number, 0 or more");
        }
        return *found;
    }

    double Seconds(const Json& object, const char* key, const std::string& where) const {
        const double value = Member(object, key, where, Json::value_t::number_float).get<double>();
        if (!(value >= 0) || !std::isfinite(value)) {
            Fail(where.empty() ? key : where + "." + key, "must be a number of seconds, 0 or more");
        }
        return value;
    }

  private:
    const std::string& origin_;
};

inline std::string ReadCueFile(const std::string& path, const char* what) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error))
        throw CueError(path + ": no such " + what + " file");
    std::ifstream stream(path, std::ios::binary);
    if (!stream) throw CueError(path + ": cannot open: " + std::strerror(errno));
    std::ostringstream text;
    text << stream.rdbuf();
    if (stream.bad()) throw CueError(path + ": cannot read it");
    return text.str();
}

}  // namespace Vocetta::Host
