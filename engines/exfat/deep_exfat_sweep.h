// The deep exFAT engine's part in the combined deep scan: it takes every
// sector that holds the start of a whole, valid entry set.
#pragma once

#include <memory>

#include "engines/sweep_participant.h"

namespace velmira {

[[nodiscard]] std::unique_ptr<CSweepParticipant> NewDeepExfatParticipant();

}  // namespace velmira
