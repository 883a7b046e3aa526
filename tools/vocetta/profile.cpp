#include "profile.hpp"

namespace Vocetta::Tool {

Profile LoadProfileOrDefault(const std::string& path) {
    return path.empty() ? DefaultProfile() : LoadProfile(path);
}

}  // namespace Vocetta::Tool
