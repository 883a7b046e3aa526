// A silence gate that follows the speaker's level, for hosts that label frames as they come.
//
// A fixed threshold fails on quiet microphones: speech peaking at -30 dBFS lies under a -40 dBFS
// gate in most of its frames. A recording at hand is gated 30 dB below its own level, the 95th
// percentile of its frame volumes; a stream does the same over the frames heard so far, at most
// a window back, so that it follows a talker who moves off the microphone:
//
//     Vocetta::Host::LevelGate gate(analyzer.sampleRate() / double(analyzer.hop()));
//     // every frame: silence below the gate (the job's scores still decide the rest)
//     const bool silent = !(result.volume >= gate.Update(result.volume));
//
// Until the talker has spoken, the level is that of what came before (a room's noise, a quiet
// breath), so those frames are left to the profile's silence class. Frames of digital silence
// (a volume of 0) and volumes that are not finite say nothing of the level and are left out of
// it. With a window longer than the stream, the gate after its last frame is the whole
// recording's. It allocates only when constructed, and each frame costs a search and a move
// within the window.
#pragma once

#include <cstddef>
#include <vector>

namespace Vocetta::Host {

struct LevelGateSettings {
    double gateDb = -30.0;     // silence: more than this many dB under the level (at most 0)
    double percentile = 0.95;  // the level: this share of the window's volumes lies at or under it
    double windowSeconds = 10.0;  // how far back the level looks, in frames with sound
};

class LevelGate {
  public:
    // `framesPerSecond`: the rate of Update calls (the analysis rate over the hop). Throws
    // std::invalid_argument for a rate or settings out of range.
    explicit LevelGate(double framesPerSecond, const LevelGateSettings& settings = {});

    // Takes one frame's volume (the job's RMS) into the level and returns the gate: frames
    // quieter than this volume are silence. 0 until a frame with sound has come.
    float Update(float volume);
    // The level now (the percentile of the window), and the gate Update last returned.
    float Level() const;
    float Gate() const { return gate_; }
    size_t WindowFrames() const { return recent_.size(); }
    // Back to no frame heard.
    void Reset();

  private:
    std::vector<float> recent_;  // the window in arrival order, a ring from `oldest_`
    std::vector<float> sorted_;  // the same volumes in ascending order
    size_t oldest_ = 0, count_ = 0;
    double percentile_, factor_;
    float gate_ = 0.0f;
};

}  // namespace Vocetta::Host
