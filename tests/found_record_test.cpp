#include "results/found_record.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/text.h"

namespace velmira {
namespace {

template <typename T>
void ExpectLe(const uint8_t* bytes, size_t off, T value, const char* field) {
  for (size_t i = 0; i < sizeof(T); ++i)
    EXPECT_EQ(bytes[off + i], static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i)))
        << field << " byte " << i;
}

TEST(FoundRecord, FieldsLandAtTheirStoredOffsets) {
  FoundRecord r = MakeFoundRecord();
  r.sourceKey = 0x03E9;
  r.engineTag = kTagDeepFat;
  r.isFolder = 1;
  r.isDeleted = 0x01020304;
  r.contentOk = 0x0A0B0C0D;
  r.recordNumber = 0x11223344;
  r.key = 0x55667788;
  r.clusterBytes = kNoClusterBytes;
  r.created = 0x0102030405060708ULL;
  r.accessed = 0x1112131415161718ULL;
  r.modified = 0x2122232425262728ULL;
  r.size = 0x3132333435363738ULL;
  r.dataStart = 0x4142434445464748ULL;
  r.entrySector = 0x5152535455565758ULL;
  r.partitionStart = 0x6162636465666768ULL;
  SetRecordName(r, "IMG_0001.JPG");

  uint8_t bytes[sizeof(FoundRecord)];
  std::memcpy(bytes, &r, sizeof bytes);
  ExpectLe<uint16_t>(bytes, 0, 0x03E9, "sourceKey");
  ExpectLe<uint32_t>(bytes, 2, 3, "engineTag");
  ExpectLe<uint32_t>(bytes, 6, 1, "isFolder");
  ExpectLe<uint32_t>(bytes, 10, 0x01020304, "isDeleted");
  ExpectLe<uint32_t>(bytes, 14, 0x0A0B0C0D, "contentOk");
  ExpectLe<uint32_t>(bytes, 18, 0x11223344, "recordNumber");
  ExpectLe<uint32_t>(bytes, 22, 0x55667788, "key");
  ExpectLe<uint32_t>(bytes, 26, 0xFFFFFFFF, "clusterBytes");
  ExpectLe<uint64_t>(bytes, 30, 0x0102030405060708ULL, "created");
  ExpectLe<uint64_t>(bytes, 38, 0x1112131415161718ULL, "accessed");
  ExpectLe<uint64_t>(bytes, 46, 0x2122232425262728ULL, "modified");
  ExpectLe<uint64_t>(bytes, 54, 0x3132333435363738ULL, "size");
  ExpectLe<uint64_t>(bytes, 62, 0x4142434445464748ULL, "dataStart");
  ExpectLe<uint64_t>(bytes, 70, 0x5152535455565758ULL, "entrySector");
  ExpectLe<uint64_t>(bytes, 78, 0x6162636465666768ULL, "partitionStart");
  EXPECT_EQ(0, std::memcmp(bytes + 86, "IMG_0001.JPG\0", 13));
  for (size_t i = 86 + 12; i < sizeof bytes; ++i) ASSERT_EQ(bytes[i], 0) << i;

  FoundRecord back;
  std::memcpy(&back, bytes, sizeof back);
  EXPECT_EQ(RecordName(back), "IMG_0001.JPG");
  EXPECT_EQ(uint64_t{back.partitionStart}, uint64_t{r.partitionStart})
      << "packed fields are copied, never bound by reference";
}

TEST(FoundRecord, LongNamesAreCutOnACharacterBoundary) {
  FoundRecord r = MakeFoundRecord();
  std::string name(258, 'a');
  name += "\xC3\xA9\xC3\xA9";  // two 2-byte characters: only part would fit
  SetRecordName(r, name);
  // The field holds a stored form cut on a character boundary; the name
  // itself stays known.
  const std::string stored = NameFieldText(r.name, sizeof r.name);
  EXPECT_LE(stored.size(), 259u);
  EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(stored)), stored) << "no character is half stored";
  EXPECT_EQ(r.name[259], '\0');
  EXPECT_EQ(RecordName(r), name);

  // A full field without a NUL is read without running past it.
  std::memset(r.name, 'b', sizeof r.name);
  EXPECT_EQ(RecordName(r).size(), 260u);
}

}  // namespace
}  // namespace velmira
