// Whether the layout an NTFS boot sector gives holds on the medium: the
// $MFT's first record sits where the boot sector says, and the backup boot
// sector in the volume's last sector agrees with it.
#pragma once

#include "engines/ntfs/ntfs_structures.h"
#include "platform/byte_view.h"
#include "storage/sector_source.h"

namespace velmira {

// `boot` is the boot sector the geometry came from. Sectors that cannot be
// read are no evidence either way.
[[nodiscard]] bool NtfsLayoutHolds(const SectorSource& source, const NtfsGeometry& geometry, ByteView boot);

}  // namespace velmira
