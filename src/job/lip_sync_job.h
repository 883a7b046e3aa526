// The lip-sync job: one block of captured audio in, MFCCs, phoneme scores, the best phoneme and
// the volume out.
#pragma once

#include <stdint.h>
#include <vocetta/vocetta.h>

#include "frame/variant.h"

namespace Vocetta::VOCETTA_VARIANT {

// Runs the analysis and the scoring over `job` once.
void Execute(LipSyncJob* job);

// The raw score of phoneme `index` against the MFCC vector already in job->mfcc.
float CalcScore(const LipSyncJob* job, int32_t index);

}  // namespace Vocetta::VOCETTA_VARIANT
