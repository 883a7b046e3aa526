#include "mouth.hpp"

#include "error.hpp"
#include "output.hpp"

namespace Vocetta::Tool {

void AddMouthOptions(CommandLine& line, MouthArguments& arguments) {
    const auto fallback = [](double value) { return " (default " + FormatNumber(value) + ")"; };
    line.Text("--shapes", arguments.shapes, "SET",
              "cartoon (A-H and X, the default) or visemes (sil PP FF TH DD kk CH SS nn RR aa E "
              "ih oh ou)");
    line.Number(
        "--min-hold", arguments.minHoldMs, 0.0, 10000.0, "MS",
        "every cue but the last lasts at least this long" + fallback(Host::kDefaultMinHoldMs));
    line.Number("--closure", arguments.closureMs, 0.0, 10000.0, "MS",
                "a rest shorter than this between two other cues shows closed lips (A, PP); "
                "0 keeps every rest" +
                    fallback(Host::kDefaultClosureMs));
    line.Number("--attack", arguments.attackMs, 0.0, 10000.0, "MS",
                "time constant of a shape's rise (default 0: cues follow the frames)");
    line.Number("--release", arguments.releaseMs, 0.0, 10000.0, "MS",
                "time constant of a shape's fall (default 0)");
    line.Number("--sharpness", arguments.sharpness, 1.0, 100.0, "K",
                "exponent that lets the winning shape dominate, 1 = none" +
                    fallback(Host::kDefaultCueSharpness));
    line.Number("--closed-margin", arguments.closedMargin, 1.0, 1000.0, "R",
                "closed lips (A, PP) show only where they outweigh every other speaking shape "
                "R times, 1 = plain comparison" +
                    fallback(Host::kDefaultClosedMargin));
    line.Number("--lip-margin", arguments.lipMargin, 1.0, 1000.0, "R",
                "the same for the teeth on the lip (G, FF)" + fallback(Host::kDefaultLipMargin));
    line.Number("--open-priority", arguments.openPriority, 1.0, 100.0, "R",
                "a cue under the hold joins a neighbour counting open cues R times their "
                "length, so short vowels are not swallowed; 1 = all alike" +
                    fallback(Host::kDefaultOpenPriority));
    line.Number("--closed-dip", arguments.closedDipDb, 0.0, 200.0, "DB",
                "closed lips show only in frames DB under the loudest of the last --dip-window, "
                "0 = no such test" +
                    fallback(Host::kDefaultClosedDipDb));
    line.Number("--lip-dip", arguments.lipDipDb, 0.0, 200.0, "DB",
                "the same for the teeth on the lip" + fallback(Host::kDefaultLipDipDb));
    line.Number(
        "--dip-window", arguments.dipWindowMs, 0.0, 10000.0, "MS",
        "how far back the dips look for the loudest frame" + fallback(Host::kDefaultDipWindowMs));
}

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
