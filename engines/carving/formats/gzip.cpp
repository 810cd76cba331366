// gzip streams. The deflate data is decoded to its end; the trailer's CRC-32
// and length must match what was decoded, so a false header gives no file.
#include <zlib.h>

#include <memory>

#include "engines/carving/file_cursor.h"
#include "engines/carving/formats/formats.h"
#include "engines/carving/read_ahead.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

constexpr uint64_t kGzipCap = 64 * kGiB;
constexpr uint8_t kReservedFlags = 0xE0;
constexpr uint8_t kExtraFlag = 0x04;
constexpr size_t kMemberHeader = 10;
constexpr int kMaxMembers = 1 << 20;

// Deflate, no reserved flag bits, the extra-flags values gzip writes (0,
// slowest 2, fastest 4) and a known operating system (or "unknown").
bool IsMemberHeader(ByteView s) {
  if (s.size() < kMemberHeader || !s.Matches(0, "\x1F\x8B\x08"sv)) return false;
  const uint8_t flags = s.U8At(3);
  const uint8_t extra = s.U8At(8);
  const uint8_t os = s.U8At(9);
  if ((flags & kReservedFlags) != 0) return false;
  return (extra == 0 || extra == 2 || extra == 4) && (os < 14 || os == 0xFF);
}

uint32_t GzipTest(ByteView s, CarvingState&) {
  return s.size() >= 16 && IsMemberHeader(s) ? kTypeGzip : kNoType;
}

// A member of a blocked stream (an extra field whose first subfield is
// "BC"): such files are long chains of members, each a small block.
bool IsBlockMember(ByteView s) {
  return s.size() >= 14 && (s.U8At(3) & kExtraFlag) != 0 && s.Matches(12, "BC");
}

class Inflater {
 public:
  Inflater() : m_out(std::make_unique<uint8_t[]>(kOut)) { m_ok = inflateInit2(&m_z, 16 + MAX_WBITS) == Z_OK; }
  ~Inflater() {
    if (m_ok) inflateEnd(&m_z);
  }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  // Decodes the member at `start`: the offset just past its trailer when the
  // stream, its CRC-32 and its length hold; 0 otherwise.
  uint64_t MemberEnd(FileCursor& cursor, uint64_t start) {
    if (!m_ok || inflateReset(&m_z) != Z_OK) return 0;
    uint64_t at = start;
    for (;;) {
      const ByteView in = cursor.ViewUpTo(at, FileCursor::kMaxView);
      if (in.size() == 0) return 0;  // the data ended (or the user stopped) inside the stream
      m_z.next_in = const_cast<Bytef*>(in.data());
      m_z.avail_in = static_cast<uInt>(in.size());
      int rc = Z_OK;
      while (rc == Z_OK && m_z.avail_in > 0) {
        m_z.next_out = m_out.get();
        m_z.avail_out = kOut;
        rc = inflate(&m_z, Z_NO_FLUSH);
      }
      const size_t used = in.size() - m_z.avail_in;
      if (rc == Z_STREAM_END) return at + used;
      if (rc != Z_OK && rc != Z_BUF_ERROR) return 0;
      if (used == 0) return 0;
      at += used;
    }
  }

 private:
  static constexpr uInt kOut = 64 * 1024;
  z_stream m_z{};
  bool m_ok = false;
  std::unique_ptr<uint8_t[]> m_out;
};

// The first member must decode whole. Further members belong to the file
// when they start right where the previous one ended, inside a sector: a
// member that starts a sector is taken for a file of its own (two .gz files
// laid back to back), except in a blocked stream, whose members always
// belong together. A .tgz is one member; `cat a.gz b.gz` gives several.
uint64_t GzipLength(ByteView s, CarvingState& state) {
  FileCursor cursor(state, s, kGzipCap);
  Inflater inflater;
  uint64_t end = inflater.MemberEnd(cursor, 0);
  if (end == 0 || cursor.Stopped()) return kNotAFile;
  const bool blocked = IsBlockMember(s);
  for (int member = 1; member < kMaxMembers; ++member) {
    if (end % cursor.SectorSize() == 0 && !blocked) break;
    const ByteView next = cursor.View(end, 16);
    if (!IsMemberHeader(next) || (blocked && !IsBlockMember(next))) break;
    const uint64_t memberEnd = inflater.MemberEnd(cursor, end);
    if (cursor.Stopped()) return kNotAFile;
    if (memberEnd == 0) break;  // a damaged follower: the members before it are the file
    end = memberEnd;
  }
  return end;
}

}  // namespace

const FileFormat kGzipFormat{"gzip", &GzipTest, &GzipLength, CarveStep::kPastFile, 1, {{0, 0x1F}}};

}  // namespace velmira
