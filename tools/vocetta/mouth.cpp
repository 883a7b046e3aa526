#include "mouth.hpp"

#include "error.hpp"
#include "output.hpp"

namespace Vocetta::Tool {

MouthOptions MouthFromOptions(const MouthArguments& arguments, float silenceVolume) {
    try {
        return Host::CueTrackSettingsFrom(arguments, silenceVolume);
    } catch (const Host::ShapeError& error) {
        throw UsageError(error.what());
    }
}

MouthOptions RecordingMouth(const MouthArguments& arguments, const FrameLabels& labels,
                            const Analysis& analysis, const LabelSettings& settings) {
    return MouthFromOptions(arguments, MouthSilenceVolume(labels, analysis, settings));
}

Host::ShapeMap ShapeMapFor(const Profile& profile, Host::ShapeSet set, const std::string& origin) {
    try {
        return Host::ProfileShapeMap(profile, set, origin);
    } catch (const Host::ShapeError& error) {
        throw ToolError(error.what());
    }
}

namespace {

// The frames' times and volumes beside the analysis's scores, as the SDK's cue builders read
// them. Holds views of itself: neither copied nor moved.
struct CueInput {
    std::vector<double> times;
    std::vector<float> volumes;
    std::vector<unsigned char> silence;
    std::vector<float> aligned;  // the scores a transcript gives; the job's are read in place
    std::vector<int> shapes;     // the consonants' shapes a transcript gives
    Host::CueFrames frames;

    CueInput(const Analysis& analysis, const FrameLabels& labels, Host::ShapeSet set)
        : silence(SilenceMarks(labels)), shapes(MouthShapesSaid(labels, set)) {
        const std::span<const float> scores = MouthScores(labels, analysis, aligned);
        times.reserve(analysis.FrameCount());
        volumes.reserve(analysis.FrameCount());
        for (const FrameResult& frame : analysis.frames) {
            times.push_back(frame.time);
            volumes.push_back(frame.volume);
        }
        frames = {times,   volumes, scores, static_cast<double>(analysis.hop) / analysis.sampleRate,
                  silence, shapes};
    }
    CueInput(const CueInput&) = delete;
    CueInput& operator=(const CueInput&) = delete;
};

}  // namespace

CueTrack BuildCueTrack(const Host::ShapeMap& map, const MouthOptions& options,
                       const Recording& recording, const Analysis& analysis,
                       const FrameLabels& labels) {
    const CueInput input(analysis, labels, map.set);
    return Host::BuildCueTrack(map, options, input.frames, recording.path, recording.Seconds());
}

Host::ShapeCurves BuildShapeCurves(const Host::ShapeMap& map, const MouthOptions& options,
                                   const Recording& recording, const Analysis& analysis, int fps,
                                   const FrameLabels& labels) {
    const CueInput input(analysis, labels, map.set);
    return Host::BuildShapeCurves(map, options.mouth, input.frames, recording.path,
                                  recording.Seconds(), fps);
}

std::array<uint8_t, 3> ShapeColour(int shape, int restShape) {
    if (shape == restShape) return {0x9a, 0xa0, 0xa6};
    static constexpr std::array<uint8_t, 3> kPalette[] = {
        {0xe6, 0x19, 0x4b}, {0x3c, 0xb4, 0x4b}, {0xff, 0xe1, 0x19}, {0x43, 0x63, 0xd8},
        {0xf5, 0x82, 0x31}, {0x91, 0x1e, 0xb4}, {0x46, 0xf0, 0xf0}, {0xf0, 0x32, 0xe6},
        {0xbc, 0xf6, 0x0c}, {0xfa, 0xbe, 0xbe}, {0x00, 0x80, 0x80}, {0xe6, 0xbe, 0xff},
        {0x9a, 0x63, 0x24}, {0x80, 0x00, 0x00}, {0xaa, 0xff, 0xc3}};
    return kPalette[static_cast<size_t>(shape) % 15];
}

std::string ProfileOrigin(const std::string& profilePath) {
    return profilePath.empty() ? "built-in default profile" : profilePath;
}

}  // namespace Vocetta::Tool
