// ASF files (wmv, wma): a header object, a data object and index objects,
// each a 16-byte GUID and a 64-bit size. The file-properties object in the
// header gives the file's size unless the file was written for broadcast;
// that size is taken when the object walk lands on it, else the file ends
// after its last valid object.
#include <algorithm>
#include <array>

#include "engines/carving/file_cursor.h"
#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

constexpr auto kHeaderObject = "\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C"sv;
constexpr auto kDataObject = "\x36\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C"sv;
constexpr auto kFilePropertiesObject = "\xA1\xDC\xAB\x8C\x47\xA9\xCF\x11\x8E\xE4\x00\xC0\x0C\x20\x53\x65"sv;
// Objects that follow the data object: simple index, index, media-object
// index, time-code index.
constexpr std::array<std::string_view, 4> kIndexObjects = {
    "\x90\x08\x00\x33\xB1\xE5\xCF\x11\x89\xF4\x00\xA0\xC9\x03\x49\xCB"sv,
    "\xD3\x29\xE2\xD6\xDA\x35\xD1\x11\x90\x34\x00\xA0\xC9\x03\x49\xBE"sv,
    "\xF8\x03\xB1\xFE\xAD\x12\x64\x4C\x84\x0F\x2A\x1D\x2F\x7A\xD4\x8C"sv,
    "\xD0\x3F\xB7\x3C\x4A\x0C\x03\x48\x95\x3D\xED\xF7\xB6\x22\x8F\x0C"sv};
constexpr uint64_t kAsfCap = 64 * kGiB;
constexpr uint64_t kObjectHeader = 24;
// The header object's own fields end here; its child objects follow.
constexpr uint64_t kFirstChildObject = 30;
constexpr uint64_t kFileSizeField = 40;
constexpr uint64_t kFlagsField = 88;
constexpr uint32_t kBroadcastFlag = 1;
constexpr uint32_t kMaxObjects = 100'000;

uint32_t AsfTest(ByteView s, CarvingState&) {
  return s.size() >= 32 && s.Matches(0, kHeaderObject) && s.U64At(16) >= kFirstChildObject ? kTypeAsf
                                                                                           : kNoType;
}

// The file size the header declares, or 0 (none, or a broadcast file).
uint64_t DeclaredSize(FileCursor& cursor, uint64_t headerSize) {
  uint64_t at = kFirstChildObject;
  for (uint32_t n = 0; n < kMaxObjects && at + kObjectHeader <= headerSize; ++n) {
    const ByteView h = cursor.View(at, kObjectHeader);
    const uint64_t size = h.U64At(16);
    if (h.size() < kObjectHeader || size < kObjectHeader || size > headerSize - at) return 0;
    if (h.Matches(0, kFilePropertiesObject)) {
      if (size < kFlagsField + 4) return 0;
      if ((cursor.U32(at + kFlagsField) & kBroadcastFlag) != 0) return 0;
      return cursor.U64(at + kFileSizeField);
    }
    at += size;
  }
  return 0;
}

uint64_t AsfLength(ByteView s, CarvingState& state) {
  FileCursor cursor(state, s, kAsfCap);
  const uint64_t dataEnd = cursor.DataEnd();
  const uint64_t headerSize = s.U64At(16);
  if (headerSize > dataEnd) return kNotAFile;
  const uint64_t declared = DeclaredSize(cursor, headerSize);
  bool data = false;
  uint64_t at = headerSize;
  for (uint32_t n = 0; n < kMaxObjects && at != declared && !cursor.Stopped(); ++n) {
    const ByteView h = cursor.View(at, kObjectHeader);
    if (h.size() < kObjectHeader) break;
    const ByteView guid = h.Sub(0, 16);
    const bool index = std::any_of(kIndexObjects.begin(), kIndexObjects.end(),
                                   [&](std::string_view g) { return guid.Matches(0, g); });
    // One data object, then the indexes.
    if (index ? !data : (!guid.Matches(0, kDataObject) || data)) break;
    const uint64_t size = h.U64At(16);
    if (size < kObjectHeader || size > dataEnd - at) break;
    data = true;
    at += size;
  }
  return cursor.Stopped() || !data ? kNotAFile : at;
}

}  // namespace

const FileFormat kAsfFormat{"asf", &AsfTest, &AsfLength, CarveStep::kPastFile, 1, {{0, 0x30}}};

}  // namespace velmira
