// Built against an installed SDK (by find_package or by pkg-config): loads the installed library
// and profile through it, and writes a cue file with it.
//     sdk_consumer [LIBRARY PROFILE]
#include <vocetta/cues.hpp>
#include <vocetta/library.hpp>
#include <vocetta/profile.hpp>
#include <vocetta/ring.hpp>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#ifndef VOCETTA_INSTALLED_LIBRARY
#define VOCETTA_INSTALLED_LIBRARY ""
#define VOCETTA_INSTALLED_PROFILE ""
#endif

int main(int argc, char** argv) {
    const std::string libraryPath = argc > 2 ? argv[1] : VOCETTA_INSTALLED_LIBRARY;
    const std::string profilePath = argc > 2 ? argv[2] : VOCETTA_INSTALLED_PROFILE;
    int failures = 0;
    try {
        const Vocetta::Host::Library library(libraryPath);
        // (9 + 16) / 2 is exact, so the level is the correctly rounded root of 12.5.
        const float block[] = {3.0f, -4.0f};
        const float expected = std::sqrt(12.5f);
        if (library.entries()._RootMeanSquare(block, 2) != expected) {
            std::fprintf(stderr, "forwarder: wrong root mean square\n");
            ++failures;
        }
        for (Vocetta::Host::Variant variant : Vocetta::Host::kVariants) {
            if (!Vocetta::Host::Supports(variant)) continue;
            if (library.variant(variant)._RootMeanSquare(block, 2) != expected) {
                std::fprintf(stderr, "%s: wrong root mean square\n",
                             Vocetta::Host::VariantName(variant));
                ++failures;
            }
        }
        const Vocetta::Host::Profile profile = Vocetta::Host::LoadProfile(profilePath);
        if (profile.phonemes.empty()) {
            std::fprintf(stderr, "%s: no phonemes\n", profilePath.c_str());
            ++failures;
        }
        // At the analysis rate itself the ring is one block.
        if (Vocetta::Host::RingLength(profile, profile.targetSampleRate, profilePath) !=
            profile.blockLength) {
            std::fprintf(stderr, "ring length at the analysis rate is not one block\n");
            ++failures;
        }
        // Two frames of wide-open "ah", 10 ms apart, then the rest at the end.
        const Vocetta::Host::Profile builtIn = Vocetta::Host::DefaultProfile();
        const std::vector<double> times = {0.005, 0.015};
        const std::vector<float> volumes = {0.1f, 0.1f};
        std::vector<float> scores(2 * builtIn.phonemes.size(), 0.0f);
        const auto ah = static_cast<size_t>(builtIn.IndexOf("A"));
        scores[ah] = scores[builtIn.phonemes.size() + ah] = 1.0f;
        const auto settings = Vocetta::Host::CueTrackSettingsFrom({}, 0.01f);
        const auto map = Vocetta::Host::ProfileShapeMap(builtIn, settings.set, "built-in");
        const auto track = Vocetta::Host::BuildCueTrack(
            map, settings, {times, volumes, scores, 0.01}, "ah.wav", 0.02);
        const std::string cues =
            Vocetta::Host::FormatCues(track, Vocetta::Host::CueFormat::Tsv, {});
        if (cues != "0.00\tD\n0.02\tX\n") {
            std::fprintf(stderr, "cues: %s\n", cues.c_str());
            ++failures;
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    if (failures == 0) std::printf("sdk consumer: ok\n");
    return failures == 0 ? 0 : 1;
}
