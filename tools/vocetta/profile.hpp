// The tool's view of profiles: the SDK's loader and serializer, plus the profile built into the
// tool so that it works without any file beside it.
#pragma once

#include <string>

#include "vocetta/profile.hpp"

namespace Vocetta::Tool {

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

// The profile built into the tool (profiles/default.json at build time).
Profile DefaultProfile();
// `path` when given, else the built-in profile.
Profile LoadProfileOrDefault(const std::string& path);

}  // namespace Vocetta::Tool
