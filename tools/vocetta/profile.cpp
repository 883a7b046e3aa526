#include "profile.hpp"

namespace Vocetta::Tool {

extern const char* const kDefaultProfileJson;

Profile DefaultProfile() {
    return ParseProfile(kDefaultProfileJson, "built-in default profile");
}

Profile LoadProfileOrDefault(const std::string& path) {
    return path.empty() ? DefaultProfile() : LoadProfile(path);
}

}  // namespace Vocetta::Tool
