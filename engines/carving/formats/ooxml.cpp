// Office Open XML documents (docx, xlsx, pptx and their kin): ZIP archives
// whose member names tell the application ("word/", "xl/", "ppt/").
#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"
#include "platform/text.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

constexpr auto kLocalHeader = "PK\x03\x04"sv;
constexpr auto kCentralHeader = "PK\x01\x02"sv;
constexpr auto kEndOfDirectory = "PK\x05\x06"sv;
constexpr size_t kLocalNameOffset = 30;
constexpr size_t kCentralNameOffset = 46;
constexpr uint32_t kSectorsExamined = 20;
constexpr uint32_t kSectorsPerGroup = 4;

bool NameStarts(ByteView bytes, size_t at, std::string_view prefix) {
  if (!bytes.Has(at, prefix.size())) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (AsciiLower(static_cast<char>(bytes.U8At(at + i))) != prefix[i]) return false;
  return true;
}

uint32_t Decide(ByteView bytes, size_t name) {
  if (NameStarts(bytes, name, "word")) return kTypeOoxmlWord;
  if (NameStarts(bytes, name, "ppt")) return kTypeOoxmlPowerPoint;
  if (NameStarts(bytes, name, "xl")) return kTypeOoxmlExcel;
  return kNoType;
}

uint32_t OoxmlTest(ByteView s, CarvingState& state) {
  if (s.size() < 31) return kNoType;
  if (!s.Matches(0, kLocalHeader) && !s.Matches(31, "[Content_Types].xml")) return kNoType;

  // The first sectors of the archive are read four at a time; a header whose
  // name is not read yet waits for the next group.
  const uint32_t sectorSize = SectorBytes(state);
  uint8_t* buffer = state.TestBuffer(size_t{kSectorsExamined} * sectorSize);
  size_t filled = 0;
  size_t scan = 0;
  bool pastLocalHeaders = false;
  for (uint32_t group = 0; group < kSectorsExamined / kSectorsPerGroup; ++group) {
    uint32_t got = 0;
    const int32_t rc =
        state.Read(state.sectorUnderTest + group * kSectorsPerGroup, kSectorsPerGroup, buffer + filled, got);
    filled += size_t{got} * sectorSize;
    const bool last = rc != 0 || got < kSectorsPerGroup || group + 1 == kSectorsExamined / kSectorsPerGroup;
    const ByteView bytes(buffer, filled);
    for (; scan + 4 <= filled; ++scan) {
      size_t name = 0;
      if (bytes.Matches(scan, kEndOfDirectory)) {
        pastLocalHeaders = true;
        continue;
      }
      if (!pastLocalHeaders && bytes.Matches(scan, kLocalHeader)) {
        name = scan + kLocalNameOffset;
      } else if (bytes.Matches(scan, kCentralHeader)) {
        name = scan + kCentralNameOffset;
      } else {
        continue;
      }
      if (!last && name + 4 > filled) break;
      const uint32_t code = Decide(bytes, name);
      if (code != kNoType) return code;
    }
    if (last) break;
  }
  return kNoType;
}

}  // namespace

const FileFormat kOoxmlFormat{"ooxml", &OoxmlTest, nullptr, CarveStep::kPastFile, 2, {{0, 'P'}, {31, '['}}};

}  // namespace velmira
