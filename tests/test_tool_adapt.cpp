// vocetta adapt as a user runs it: the anchor of a calibrated profile, a speaker's offset moving
// the speech references and not silence's, the same mean from a recording 20 dB quieter, and the
// refusals.
#include "test_tool_support.hpp"
#include "vocetta/profile.hpp"

namespace Vocetta::Testing {
namespace {

class ToolAdapt : public CalibratedToolTest {
  protected:
    // The "speaker": the same three vowels with formants 15 % higher, at `amplitude`.
    std::vector<std::string> Speaker(const std::string& prefix, double amplitude) {
        std::vector<std::string> files;
        for (const VowelShape& shape : kShapes) {
            files.push_back(WriteWav(
                prefix + shape.name + ".wav", 16000,
                Vowel(16000, 0.8, shape.formant1 * 1.15, shape.formant2 * 1.15, amplitude)));
        }
        return files;
    }

    ToolRun Adapt(const std::vector<std::string>& files, std::vector<std::string> options) {
        options.insert(options.begin(), "adapt");
        options.insert(options.end(), files.begin(), files.end());
        return Run(options);
    }
};

TEST_F(ToolAdapt, AnchorThenSpeakerOffset) {
    const std::string calibrated = CalibratedProfile();
    // A freshly calibrated profile has no anchor to adapt from.
    const std::vector<std::string> loud = Speaker("loud-", 0.3);
    ToolRun run = Adapt(loud, {"-p", calibrated, "-o", Path("x.json"), "-q"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(calibrated + ": the profile has no speakerMeans"), std::string::npos)
        << run.err;
    EXPECT_FALSE(std::filesystem::exists(Path("x.json")));

    // The calibration recordings' mean as the anchor; the references stay as they were.
    std::vector<std::string> calibration;
    for (const VowelShape& shape : kShapes) {
        for (const char* scale : {"0.950000", "1.050000"})
            calibration.push_back(Path(std::string(shape.name) + scale + ".wav"));
    }
    run = Adapt(calibration, {"--anchor", "-p", calibrated, "-o", Path("anchored.json"), "-q"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Host::Profile base = Host::LoadProfile(calibrated);
    const Host::Profile anchored = Host::LoadProfile(Path("anchored.json"));
    ASSERT_EQ(anchored.speakerMeans.size(), static_cast<size_t>(base.coefficients));
    EXPECT_EQ(anchored.ReferenceRows(), base.ReferenceRows());

    // The anchor reads the recordings as calibrate did, as they are.
    run = Adapt(calibration, {"--anchor", "--keep-noise", "-p", calibrated, "-o",
                              Path("anchored-as-is.json"), "-q"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Host::LoadProfile(Path("anchored-as-is.json")).speakerMeans, anchored.speakerMeans);

    // Adapting to the very recordings of the anchor, read as it read them and without a prior,
    // moves nothing. By default adapt hears them cleaned, as analyze does: vowels held without a
    // pause are taken for steady noise in part, and the speaker's mean moves.
    run = Adapt(calibration, {"-p", Path("anchored.json"), "-o", Path("same.json"), "--prior", "0",
                              "-q", "--keep-noise"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Host::LoadProfile(Path("same.json")).ReferenceRows(), base.ReferenceRows());
    run = Adapt(calibration,
                {"-p", Path("anchored.json"), "-o", Path("cleaned.json"), "--prior", "0", "-q"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(Host::LoadProfile(Path("cleaned.json")).speakerMeans, anchored.speakerMeans);

    // The speaker: every speech reference moves by the speaker's mean minus the anchor.
    run = Adapt(loud, {"-p", Path("anchored.json"), "-o", Path("speaker.json"), "--prior", "0"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("speech frames of 3 files"), std::string::npos) << run.err;
    const Host::Profile speaker = Host::LoadProfile(Path("speaker.json"));
    double moved = 0;
    for (size_t p = 0; p < base.phonemes.size(); ++p) {
        for (size_t r = 0; r < base.phonemes[p].references.size(); ++r) {
            for (size_t i = 0; i < anchored.speakerMeans.size(); ++i) {
                const float was = base.phonemes[p].references[r][i];
                const float now = speaker.phonemes[p].references[r][i];
                if (base.phonemes[p].name == "sil") {
                    EXPECT_EQ(now, was);
                    continue;
                }
                const double offset = double(speaker.speakerMeans[i]) - anchored.speakerMeans[i];
                EXPECT_NEAR(now - was, offset, 1e-5 * (1 + std::fabs(was))) << p << " " << i;
                moved = std::max(moved, std::fabs(offset));
            }
        }
    }
    EXPECT_GT(moved, 0.1);  // higher formants are a real offset

    // The same speaker 20 dB quieter: the gate follows the recording's level, and the level
    // lives in the zeroth coefficient, which the profile leaves out.
    run = Adapt(Speaker("quiet-", 0.03),
                {"-p", Path("anchored.json"), "-o", Path("quiet.json"), "--prior", "0", "-q"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Host::Profile quiet = Host::LoadProfile(Path("quiet.json"));
    // 16-bit quantisation colours the quieter copy's weak upper bands a little, so the check is
    // that the two means lie far closer together than the speaker lies from the anchor.
    double apart = 0, offset = 0;
    for (size_t i = 0; i < quiet.speakerMeans.size(); ++i) {
        apart += std::pow(double(quiet.speakerMeans[i]) - speaker.speakerMeans[i], 2);
        offset += std::pow(double(speaker.speakerMeans[i]) - anchored.speakerMeans[i], 2);
    }
    EXPECT_LT(std::sqrt(apart), 0.1 * std::sqrt(offset)) << apart << " " << offset;
}

TEST_F(ToolAdapt, Refusals) {
    const std::vector<std::string> loud = Speaker("loud-", 0.3);
    // The built-in profile carries its anchor; the output may not be an input.
    ToolRun run = Adapt(loud, {"-o", loud[0], "-q"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(Read(loud[0]).substr(0, 4), "RIFF");
    run = Adapt({}, {"-o", Path("a.json")});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("no recording given"), std::string::npos) << run.err;
    run = Adapt(loud, {});
    EXPECT_EQ(run.status, 2);
    // Digital silence has no speech frames: nothing is written.
    const std::string silent = WriteWav("silent.wav", 16000, std::vector<float>(16000, 0.0f));
    run = Adapt({silent}, {"-o", Path("a.json"), "-q"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("no speech frames"), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(Path("a.json")));
    // With the built-in profile the adapted file holds its phonemes, moved.
    run = Adapt(loud, {"-o", Path("b.json"), "-q"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Host::Profile adapted = Host::LoadProfile(Path("b.json"));
    const Host::Profile builtIn = Host::DefaultProfile();
    EXPECT_EQ(adapted.phonemes.size(), builtIn.phonemes.size());
    EXPECT_NE(adapted.speakerMeans, builtIn.speakerMeans);
}

}  // namespace
}  // namespace Vocetta::Testing
