// A profile: the analysis parameters and the reference data one LipSyncJob needs, as stored in a
// versioned JSON file (docs/profile-format.md).
//
//     const Vocetta::Host::Profile profile = Vocetta::Host::LoadProfile("voice.json");
//     std::string text = Vocetta::Host::SerializeProfile(profile);
//
// Every loader validates what it reads; a bad file throws ProfileError whose text names the file,
// the member and what is wrong with it.
#pragma once

#include <array>
#include <stdexcept>
#include <string>
#include <vector>

namespace Vocetta::Host {

inline constexpr int kProfileVersion = 1;
inline constexpr const char* kProfileFormat = "vocetta-profile";

// A profile, or a recording's sample rate for it, that the job cannot use.
class ProfileError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct Phoneme {
    std::string name;
    std::array<float, 3> color{};  // red, green, blue in 0 ... 1
    std::vector<float> reference;  // one value per coefficient
};

struct Profile {
    int targetSampleRate = 16000;  // Hz, the analysis rate
    int melChannels = 30;          // melDiv
    int coefficients = 12;         // M, at most melChannels - 1
    int blockLength = 1024;        // samples per analysed block at the analysis rate
    int scoreMethod = 1;           // ScoreMethod
    std::vector<float> means, standardDeviations;
    std::vector<Phoneme> phonemes;

    int IndexOf(const std::string& name) const;  // -1 when absent
};

// The names of the three scoring methods as the file spells them.
const char* ScoreMethodName(int method);
int ScoreMethodFromName(const std::string& name);  // -1 when unknown

// Parses and validates; `origin` names the file in every message.
Profile ParseProfile(const std::string& text, const std::string& origin);
Profile LoadProfile(const std::string& path);

std::string SerializeProfile(const Profile& profile);
// Checks what ParseProfile checks, for profiles built in memory (calibration).
void ValidateProfile(const Profile& profile, const std::string& origin);

}  // namespace Vocetta::Host
