#include "storage/volume_keys.h"

#include <map>
#include <mutex>

namespace velmira {
namespace {

std::mutex& Lock() {
  static std::mutex m;
  return m;
}

std::map<uint16_t, VolumeBinding>& Table() {
  static std::map<uint16_t, VolumeBinding> t;
  return t;
}

}  // namespace

void BindVolumeKey(uint16_t key, const VolumeBinding& binding) {
  std::lock_guard<std::mutex> g(Lock());
  Table()[key] = binding;
}

void UnbindVolumeKey(uint16_t key) {
  std::lock_guard<std::mutex> g(Lock());
  Table().erase(key);
}

void ClearVolumeKeys() {
  std::lock_guard<std::mutex> g(Lock());
  Table().clear();
}

std::optional<VolumeBinding> FindVolumeKey(uint16_t key) {
  std::lock_guard<std::mutex> g(Lock());
  auto it = Table().find(key);
  if (it == Table().end()) return std::nullopt;
  return it->second;
}

}  // namespace velmira
