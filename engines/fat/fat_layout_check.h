// Whether the layout a FAT boot sector gives holds on the medium. A single
// wrong but plausible field (reserved sectors, table count or size, sectors
// per cluster, root entries) moves the tables, the root folder or the
// clusters; the scan must not then trust the free-space map built on it.
#pragma once

#include <cstdint>

#include "engines/fat/fat_volume.h"
#include "platform/byte_view.h"
#include "storage/sector_source.h"

namespace velmira {

// Checks the layout against the medium: every table copy starts as the
// first does, the first table's first entries carry the media byte and an
// end mark, the root folder starts with folder entries (and a FAT12/16 root
// holds nothing after its end), the folders it names start with "." and "..",
// the chains of the files it names are as long as their sizes, the clusters
// fit the table and the medium, and a FAT32 backup boot sector gives the same
// layout. Sectors that cannot be read are no evidence either way.
// `volumeStart` and `mediumSectors` count in geometry.bytesPerSector units;
// `boot` is the boot sector the geometry came from.
[[nodiscard]] bool FatLayoutHolds(const SectorSource& source, uint64_t volumeStart, uint64_t mediumSectors,
                                  ByteView boot, const FatGeometry& geometry);

}  // namespace velmira
