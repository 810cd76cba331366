// Linux has no drive letters: a listed partition is known by its source key
// (1, 2, ...). Disk discovery records here which device and mount point each
// key stands for, so that the volume queries and the flush can find them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace velmira {

struct VolumeBinding {
  std::string devicePath;  // e.g. /dev/sdb1, or an image path
  std::string mountPoint;  // empty when not mounted
};

void BindVolumeKey(uint16_t key, const VolumeBinding& binding);
void UnbindVolumeKey(uint16_t key);
void ClearVolumeKeys();
[[nodiscard]] std::optional<VolumeBinding> FindVolumeKey(uint16_t key);

}  // namespace velmira
