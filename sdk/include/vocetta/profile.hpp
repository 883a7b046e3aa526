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
#include <cstddef>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace Vocetta::Host {

// The version SerializeProfile writes when a profile needs what version 1 cannot hold (several
// references, mouth shapes, a folding rule,
// speaker means); version 1 files still load and score as before.
inline constexpr int kProfileVersion = 2;
inline constexpr const char* kProfileFormat = "vocetta-profile";

// A profile, or a recording's sample rate for it, that the job cannot use.
class ProfileError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// How the scores of a phoneme's references become the phoneme's score.
enum class Folding {
    Sum,      // the phoneme's share of the total: its references' scores added in order
    Maximum,  // its best reference, the best references of all phonemes renormalised to sum 1
};

// Mouth-shape weights: shape set name -> shape name -> weight (what they mean is the
// mouth-shape layer's business, vocetta/mouth_shapes.hpp, which declares the same type).
using ShapeWeights = std::map<std::string, std::map<std::string, float>>;

struct Phoneme {
    std::string name;
    std::array<float, 3> color{};                // red, green, blue in 0 ... 1
    std::vector<std::vector<float>> references;  // one or more, one value per coefficient each
    ShapeWeights shapes;
};

struct Profile {
    int targetSampleRate = 16000;  // Hz, the analysis rate
    int melChannels = 30;          // melDiv
    int coefficients = 12;         // M, at most melChannels - 1
    int blockLength = 1024;        // samples per analysed block at the analysis rate
    int scoreMethod = 1;           // ScoreMethod
    std::vector<float> means, standardDeviations;
    // The mean MFCC vector of the speech frames of the voices it was calibrated on, each voice
    // weighted alike; empty when unknown. Speaker adaptation (vocetta/adaptation.hpp) moves the
    // references by a speaker's own mean minus this one.
    std::vector<float> speakerMeans;
    Folding folding = Folding::Sum;
    std::vector<Phoneme> phonemes;

    int IndexOf(const std::string& name) const;  // -1 when absent
    // Every reference is one profile row of the job: the rows in phoneme order, and for each
    // row the index of its phoneme.
    size_t ReferenceCount() const;
    std::vector<float> ReferenceRows() const;
    std::vector<int> ReferenceOwners() const;
};

// One score per phoneme from the job's scores of every reference row (ReferenceCount() values,
// as the job wrote them); `phonemeScores` receives phonemes.size() values. With one reference
// per phoneme and Sum folding, the scores are the job's own, bit for bit. Returns the best
// phoneme as the job picks its best row (strictly greater wins, so the lowest index on ties),
// or -1 when there is no phoneme.
int FoldScores(const Profile& profile, const float* referenceScores, float* phonemeScores);
const char* FoldingName(Folding folding);

// The names of the three scoring methods as the file spells them.
const char* ScoreMethodName(int method);
int ScoreMethodFromName(const std::string& name);  // -1 when unknown

// Parses and validates; `origin` names the file in every message.
Profile ParseProfile(const std::string& text, const std::string& origin);
Profile LoadProfile(const std::string& path);
// The built-in profile (profiles/default.json at build time): the vowels A, I, U, E, O and sil.
Profile DefaultProfile();

std::string SerializeProfile(const Profile& profile);
// Checks what ParseProfile checks, for profiles built in memory (calibration).
void ValidateProfile(const Profile& profile, const std::string& origin);

}  // namespace Vocetta::Host
