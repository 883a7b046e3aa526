// The tool's view of profiles: the SDK's loader, serializer and built-in profile.
#pragma once

#include <string>

#include "vocetta/profile.hpp"

namespace Vocetta::Tool {

using Host::DefaultProfile;
using Host::kProfileFormat;
using Host::kProfileVersion;
using Host::LoadProfile;
using Host::ParseProfile;
using Host::Phoneme;
using Host::Profile;
using Host::ScoreMethodFromName;
using Host::ScoreMethodName;
using Host::SerializeProfile;
using Host::ValidateProfile;

// `path` when given, else the built-in profile.
Profile LoadProfileOrDefault(const std::string& path);

}  // namespace Vocetta::Tool
