// What the desktop program keeps per scannable row of its disk list: a copy
// of the partition record, or an image file with its key, and the engine the
// last scan of that row built.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "engines/file_recovery_parse.h"
#include "storage/disk_discovery.h"

namespace velmira {

// The first image key is 1001; later images count on from there.
inline constexpr uint32_t kFirstImageKeyCounter = 1000;

struct ScanSource {
  std::optional<PartitionRecord> partition;  // none for an image source
  std::unique_ptr<IFileRecoveryParse> engine;
  std::string imagePath;    // empty for partitions
  uint16_t imageValue = 0;  // 1001, 1002, ... for images

  [[nodiscard]] bool IsImage() const { return !imagePath.empty() || !partition.has_value(); }
  // The key every record found in this source carries: the partition's
  // number, or the image key.
  [[nodiscard]] uint16_t SourceKey() const { return IsImage() ? imageValue : partition->letterOrNumber; }
};

}  // namespace velmira
