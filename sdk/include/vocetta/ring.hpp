// The capture ring an engine keeps for the lip-sync job: the latest L samples at the capture rate,
// where L is chosen so that the job's down-sampler turns them into exactly one profile block at the
// analysis rate.
#pragma once

#include <string>

#include "vocetta/profile.hpp"

namespace Vocetta::Host {

// The ring length L at `sampleRate` for which the job's down-sampler yields exactly the profile's
// block length at the analysis rate. Throws ProfileError (naming `origin`) for rates the job cannot
// analyse: below the analysis rate (the job does not up-sample) or without such an L.
int RingLength(const Profile& profile, int sampleRate, const std::string& origin);

}  // namespace Vocetta::Host
