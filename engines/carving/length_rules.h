// Length rules several formats share: read ahead to the next boundary, or to
// a trailer that ends the file.
#pragma once

#include <cstdint>
#include <string_view>

#include "engines/carving/carving_state.h"
#include "engines/carving/read_ahead.h"
#include "platform/byte_view.h"

namespace velmira {

// The state's sector size, 512 when unset.
[[nodiscard]] inline uint32_t SectorBytes(const CarvingState& state) {
  return state.sectorSize == 0 ? 512 : state.sectorSize;
}

// Reads ahead until a boundary, the cap or the end of the source.
[[nodiscard]] uint64_t BoundaryLength(ByteView sector, CarvingState& state, uint64_t capBytes,
                                      BoundaryKind kind = BoundaryKind::kAnyType);

// Ends the file after the first occurrence of `trailer` that counts (see
// MarkEndCounts): in the candidate's own sector at once, else in the pieces
// read ahead before a boundary. Without one, the boundary-limited length.
[[nodiscard]] uint64_t TrailerLength(ByteView sector, CarvingState& state, std::string_view trailer,
                                     uint64_t capBytes);

// The first counting occurrence of `mark` in the candidate's own sector: its
// end, or 0.
[[nodiscard]] uint64_t CountingMarkInSector(ByteView sector, const CarvingState& state,
                                            std::string_view mark);

}  // namespace velmira
