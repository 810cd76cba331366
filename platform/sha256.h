// SHA-256 fed piece by piece, for the digests of recovered files taken
// while they are written.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace velmira {

class Sha256 {
 public:
  Sha256() { Reset(); }
  void Reset();
  void Update(const uint8_t* data, size_t size);
  // Lower-case hexadecimal digest of everything fed since the last Reset.
  // The state is left as it was, so feeding may go on.
  [[nodiscard]] std::string HexDigest() const;

 private:
  void Block(const uint8_t* block);

  std::array<uint32_t, 8> m_h{};
  std::array<uint8_t, 64> m_pending{};
  size_t m_pendingBytes = 0;
  uint64_t m_totalBytes = 0;
};

}  // namespace velmira
