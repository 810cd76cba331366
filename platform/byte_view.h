// A bounds-checked little-endian view of untrusted bytes. Every getter checks
// off + width <= size and gives 0 past the end, so a hostile image can make a
// decoder read nonsense but never read outside its buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace velmira {

class ByteView {
 public:
  constexpr ByteView() = default;
  constexpr ByteView(const uint8_t* data, size_t size) : m_data(data), m_size(data ? size : 0) {}
  ByteView(const void* data, size_t size) : ByteView(static_cast<const uint8_t*>(data), size) {}

  [[nodiscard]] constexpr size_t size() const { return m_size; }
  [[nodiscard]] constexpr const uint8_t* data() const { return m_data; }
  [[nodiscard]] constexpr bool Has(size_t off, size_t width) const {
    return off <= m_size && width <= m_size - off;
  }

  [[nodiscard]] uint8_t U8At(size_t off) const { return Has(off, 1) ? m_data[off] : 0; }
  [[nodiscard]] uint16_t U16At(size_t off) const {
    if (!Has(off, 2)) return 0;
    return static_cast<uint16_t>(m_data[off] | (m_data[off + 1] << 8));
  }
  [[nodiscard]] uint32_t U32At(size_t off) const {
    if (!Has(off, 4)) return 0;
    return uint32_t{m_data[off]} | (uint32_t{m_data[off + 1]} << 8) | (uint32_t{m_data[off + 2]} << 16) |
           (uint32_t{m_data[off + 3]} << 24);
  }
  [[nodiscard]] uint64_t U64At(size_t off) const {
    if (!Has(off, 8)) return 0;
    return uint64_t{U32At(off)} | (uint64_t{U32At(off + 4)} << 32);
  }
  [[nodiscard]] uint16_t U16BeAt(size_t off) const {
    if (!Has(off, 2)) return 0;
    return static_cast<uint16_t>((m_data[off] << 8) | m_data[off + 1]);
  }
  [[nodiscard]] uint32_t U32BeAt(size_t off) const {
    if (!Has(off, 4)) return 0;
    return (uint32_t{m_data[off]} << 24) | (uint32_t{m_data[off + 1]} << 16) |
           (uint32_t{m_data[off + 2]} << 8) | uint32_t{m_data[off + 3]};
  }
  // True when the bytes at off equal text exactly (false past the end).
  [[nodiscard]] bool Matches(size_t off, std::string_view text) const {
    return Has(off, text.size()) && std::memcmp(m_data + off, text.data(), text.size()) == 0;
  }
  // The sub-view [off, off + len), clipped to the view.
  [[nodiscard]] ByteView Sub(size_t off, size_t len) const {
    if (off > m_size) return {};
    return ByteView(m_data + off, len < m_size - off ? len : m_size - off);
  }

 private:
  const uint8_t* m_data = nullptr;
  size_t m_size = 0;
};

}  // namespace velmira
