#include "engines/carving/length_rules.h"

namespace velmira {

uint64_t BoundaryLength(ByteView sector, CarvingState& state, uint64_t capBytes, BoundaryKind kind) {
  ReadAhead ahead(state, sector, capBytes, kind);
  while (ahead.Next()) {
  }
  return ahead.Length();
}

uint64_t CountingMarkInSector(ByteView sector, const CarvingState& state, std::string_view mark) {
  for (size_t at = FindMark(sector, mark); at != ReadAhead::kNotFound; at = FindMark(sector, mark, at + 1))
    if (MarkEndCounts(sector, at + mark.size(), SectorBytes(state))) return at + mark.size();
  return 0;
}

uint64_t TrailerLength(ByteView sector, CarvingState& state, std::string_view trailer, uint64_t capBytes) {
  if (const uint64_t end = CountingMarkInSector(sector, state, trailer); end != 0) return end;
  ReadAhead ahead(state, sector, capBytes);
  while (ahead.Next()) {
    for (size_t at = ahead.FindFirst(trailer); at != ReadAhead::kNotFound;
         at = ahead.FindFirst(trailer, at + 1))
      if (ahead.Counts(at + trailer.size())) return ahead.WindowStart() + at + trailer.size();
  }
  return ahead.Length();
}

}  // namespace velmira
