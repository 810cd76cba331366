// Carving documents: PDF to the end mark that ends the file, ZIP archives and
// the formats built on them to the end of their central directory, compound
// documents to their last sector in use; each named by what it holds.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "engines/carving/carve_sweep.h"
#include "engines/carving/file_type_recovery.h"
#include "platform/errors.h"
#include "tests/fixtures/carving_expect.h"
#include "tests/fixtures/carving_samples.h"
#include "tests/fixtures/data_home.h"
#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/memory_source.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;
using testing::Bytes;
using testing::BytesOf;
using testing::CarveAt;
using testing::Carved;
using testing::CarveInNoise;
using testing::ExpectWholeInNoise;
using testing::ImageBuilder;
using testing::PutLe16;
using testing::PutLe32;
using testing::SampleOfType;

uint64_t SectorsOf(uint64_t bytes) {
  return (bytes + 511) / 512;
}

// No file is carved from the candidate at sector 0 or 65 of a noisy medium.
void ExpectNoFile(const Bytes& file) {
  for (uint64_t at : {0u, 65u}) {
    const Carved carved = CarveInNoise(file, at);
    EXPECT_EQ(carved.row, nullptr) << "at " << at << " carved " << carved.Extension() << " of "
                                   << carved.length;
  }
}

Bytes Corpus(const std::string& path) {
  return testing::ReadFileBytes(testing::CorpusPath(path));
}

TEST(CarvingDocuments, CorpusFilesComeOutWholeUnderTheirKind) {
  VELMIRA_REQUIRE_CORPUS(tsv, "_truth/media_files.tsv");
  const std::pair<const char*, const char*> samples[] = {
      {"py-pdf__sample-files/001-trivial/minimal-document.pdf", "pdf"},
      {"py-pdf__sample-files/002-trivial-libre-office-writer/002-trivial-libre-office-writer.pdf", "pdf"},
      {"py-pdf__sample-files/003-pdflatex-image/pdflatex-image.pdf", "pdf"},
      {"py-pdf__sample-files/004-pdflatex-4-pages/pdflatex-4-pages.pdf", "pdf"},
      {"py-pdf__sample-files/005-libreoffice-writer-password/libreoffice-writer-password.pdf", "pdf"},
      {"py-pdf__sample-files/009-pdflatex-geotopo/GeoTopo-komprimiert.pdf", "pdf"},
      {"py-pdf__sample-files/011-google-doc-document/google-doc-document.pdf", "pdf"},
      {"py-pdf__sample-files/021-pdfa/crazyones-pdfa.pdf", "pdf"},
      {"py-pdf__sample-files/022-pdfkit/pdfkit.pdf", "pdf"},
      {"py-pdf__sample-files/023-cmyk-image/cmyk-image.pdf", "pdf"},
      {"decalage2__olefile/tests/images/test-ole-file.doc", "doc"},
      {"decalage2__oletools/tests/test-data/encrypted/encrypted.doc", "doc"},
      {"decalage2__oletools/tests/test-data/msodde/harmless-clean.doc", "doc"},
      // (embedded-simple-2007.doc is left out: its last sector is free but
      // still part of the file, which no allocation table can tell.)
      {"decalage2__oletools/tests/test-data/encrypted/encrypted.xls", "xls"},
      {"decalage2__oletools/tests/test-data/oleobj/embedded-simple-2007.xls", "xls"},
      {"python-excel__xlrd/tests/samples/Formate.xls", "xls"},
      {"python-excel__xlrd/tests/samples/namesdemo.xls", "xls"},
      {"python-excel__xlrd/tests/samples/profiles.xls", "xls"},
      {"python-excel__xlrd/tests/samples/xf_class.xls", "xls"},
      // A bare BIFF4 worksheet, to the EOF record that closes it.
      {"python-excel__xlrd/tests/samples/biff4_no_format_no_window2.xls", "xls"},
      {"decalage2__oletools/tests/test-data/encrypted/encrypted.ppt", "ppt"},
      {"decalage2__oletools/tests/test-data/oleobj/embedded-simple-2007.ppt", "ppt"},
      {"exiftool__exiftool/t/images/FlashPix.ppt", "ppt"},
      // Encrypted Office Open XML is a compound document holding the package.
      {"decalage2__oletools/tests/test-data/encrypted/encrypted.docx", "ole"},
      {"decalage2__oletools/tests/test-data/msodde/harmless-clean.docx", "docx"},
      {"decalage2__oletools/tests/test-data/oleobj/embedded-simple-2007.docx", "docx"},
      {"exiftool__exiftool/t/images/OOXML.docx", "docx"},
      {"python-openxml__python-docx/features/steps/test_files/doc-coreprops.docx", "docx"},
      {"python-openxml__python-docx/features/steps/test_files/doc-default.docx", "docx"},
      {"python-openxml__python-docx/features/steps/test_files/shp-inline-shape-access.docx", "docx"},
      {"scanny__python-pptx/features/steps/test_files/shp-embedded-docx.docx", "docx"},
      {"decalage2__oletools/tests/test-data/oleobj/embedded-simple-2007.xlsx", "xlsx"},
      {"python-excel__xlrd/tests/samples/sample.xlsx", "xlsx"},
      {"scanny__python-pptx/features/steps/test_files/shp-embedded-xlsx.xlsx", "xlsx"},
      {"decalage2__oletools/tests/test-data/oleobj/embedded-simple-2007.pptx", "pptx"},
      {"scanny__python-pptx/features/steps/test_files/cht-charts.pptx", "pptx"},
      {"scanny__python-pptx/features/steps/test_files/minimal.pptx", "pptx"},
      {"scanny__python-pptx/features/steps/test_files/shp-access-ole-object.pptx", "pptx"},
      {"log2timeline__dfvfs/test_data/zip/syslog.zip", "zip"},
  };
  for (const auto& [path, extension] : samples) {
    SCOPED_TRACE(path);
    const Bytes file = Corpus(path);
    ASSERT_FALSE(file.empty());
    ExpectWholeInNoise(file, extension);
  }
}

// Made-up members: some text, and bytes that do not compress.
void WriteMembers(const testing::TempDir& dir,
                  const std::vector<std::pair<std::string, std::string>>& members) {
  for (const auto& [name, text] : members) {
    const std::string path = dir.File(name);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    Bytes bytes =
        text == "*" ? testing::RandomBytes(70000, static_cast<uint32_t>(name.size())) : BytesOf(text);
    testing::WriteFileBytes(path, bytes);
  }
}

TEST(CarvingDocuments, ArchivesMadeWithZipAreNamedByWhatTheyHold) {
  VELMIRA_REQUIRE_TOOL("zip");
  struct Case {
    const char* extension;
    std::vector<std::pair<std::string, std::string>> members;  // the first is stored when it is "mimetype"
    const char* options;
  };
  const std::string odfManifest = "META-INF/manifest.xml";
  const Case cases[] = {
      {"odt",
       {{"mimetype", "application/vnd.oasis.opendocument.text"},
        {"content.xml", "<office/>"},
        {odfManifest, "<manifest/>"},
        {"Pictures/p.png", "*"}},
       ""},
      {"ods", {{"mimetype", "application/vnd.oasis.opendocument.spreadsheet"}, {"content.xml", "<s/>"}}, ""},
      {"odp", {{"mimetype", "application/vnd.oasis.opendocument.presentation"}, {"content.xml", "<p/>"}}, ""},
      {"epub",
       {{"mimetype", "application/epub+zip"},
        {"META-INF/container.xml", "<container/>"},
        {"OEBPS/c1.xhtml", "<html/>"}},
       ""},
      {"jar", {{"META-INF/MANIFEST.MF", "Manifest-Version: 1.0\n"}, {"a/Main.class", "*"}}, ""},
      {"apk", {{"AndroidManifest.xml", "*"}, {"classes.dex", "*"}, {"META-INF/MANIFEST.MF", "M\n"}}, ""},
      {"docx", {{"[Content_Types].xml", "<Types/>"}, {"word/document.xml", "<w/>"}}, ""},
      {"mso07", {{"[Content_Types].xml", "<Types/>"}, {"visio/document.xml", "<v/>"}}, ""},
      {"zip", {{"notes.txt", "notes"}, {"data.bin", "*"}}, ""},
      // Written to a pipe: sizes follow the data in descriptors.
      {"zip", {{"notes.txt", "notes"}, {"data.bin", "*"}, {"more.txt", "more text"}}, "stream"},
      {"jar", {{"META-INF/MANIFEST.MF", "Manifest-Version: 1.0\n"}, {"b.class", "*"}}, "stream"},
      // ZIP64 headers and records, also with descriptors.
      {"zip", {{"notes.txt", "notes"}, {"data.bin", "*"}}, "-fz"},
      {"zip", {{"notes.txt", "notes"}, {"data.bin", "*"}}, "-fz stream"},
      // An archive comment after the end record.
      {"zip", {{"notes.txt", "notes"}, {"data.bin", "*"}}, "comment"},
  };
  for (const Case& c : cases) {
    const std::string options = c.options;
    SCOPED_TRACE(std::string(c.extension) + " " + options);
    testing::TempDir dir;
    WriteMembers(dir, c.members);
    const std::string out = dir.File("out.bin");
    std::string flags = options.find("-fz") != std::string::npos ? " -fz" : "";
    std::string names;
    for (size_t i = 0; i < c.members.size(); ++i)
      if (i != 0 || c.members[0].first != "mimetype") names += " " + testing::ShellQuote(c.members[i].first);
    std::string command = "cd " + testing::ShellQuote(dir.path()) + " && ";
    if (options.find("stream") != std::string::npos) {
      command += "zip -q -X" + flags + " -" + names + " | cat > out.bin";
    } else {
      if (c.members[0].first == "mimetype") command += "zip -q -X -0 out.bin mimetype && ";
      command += "zip -q -X" + flags + " out.bin" + names;
      if (options == "comment") command += " && echo 'made for a test' | zip -q -z out.bin";
    }
    ASSERT_TRUE(testing::RunQuiet(command)) << command;
    const Bytes archive = testing::ReadFileBytes(out);
    ASSERT_FALSE(archive.empty());
    ExpectWholeInNoise(archive, c.extension);
  }
}

// Every document row carves its own sample under its own name; a compound
// document's allocation table may continue in DIFAT sectors.
TEST(CarvingDocuments, SamplesOfEveryRowCarveUnderTheirRow) {
  const std::pair<uint32_t, const char*> rows[] = {
      {kTypeDoc, "doc"},         {kTypeXls, "xls"},
      {kTypePpt, "ppt"},         {kTypeCompound, "ole"},
      {kTypeMsg, "msg"},         {kTypeFla, "fla"},
      {kTypeZip, "zip"},         {kTypeOoxmlWord, "docx"},
      {kTypeOoxmlExcel, "xlsx"}, {kTypeOoxmlPowerPoint, "pptx"},
      {kTypeOdt, "odt"},         {kTypeOds, "ods"},
      {kTypeOdp, "odp"},         {kTypeEpub, "epub"},
      {kTypeJar, "jar"},         {kTypeApk, "apk"},
      {kTypePdf, "pdf"},
  };
  for (const auto& [code, extension] : rows) {
    SCOPED_TRACE(extension);
    ExpectWholeInNoise(SampleOfType(code), extension);
  }

  // 110 allocation-table sectors: 109 listed in the header, the last in a
  // DIFAT sector; then the directory and a stream.
  Bytes big = SampleOfType(kTypeDoc);
  big.resize(512);
  PutLe32(big, 44, 110);
  PutLe32(big, 48, 111);
  PutLe32(big, 68, 110);
  PutLe32(big, 72, 1);
  for (uint32_t i = 0; i < 109; ++i) PutLe32(big, 76 + 4 * i, i);
  big.resize(512 * 115, 0);
  for (size_t i = 0; i < 128 * 110; ++i) PutLe32(big, 512 + 4 * i, 0xFFFFFFFF);
  for (uint32_t i = 0; i < 110; ++i) PutLe32(big, 512 + 4 * i, 0xFFFFFFFD);
  PutLe32(big, 512 + 4 * 110, 0xFFFFFFFC);
  PutLe32(big, 512 + 4 * 111, 0xFFFFFFFE);
  PutLe32(big, 512 + 4 * 112, 0xFFFFFFFE);
  const size_t difat = 512 * 111;
  for (size_t i = 0; i < 128; ++i) PutLe32(big, difat + 4 * i, 0xFFFFFFFF);
  PutLe32(big, difat, 109);
  PutLe32(big, difat + 4 * 127, 0xFFFFFFFE);
  const Bytes word = SampleOfType(kTypeDoc);
  std::copy(word.begin() + 1024, word.begin() + 1536, big.begin() + 512 * 112);  // the directory
  big.resize(512 * 114);
  ExpectWholeInNoise(big, "doc");

  // Version 4: 4,096-byte sectors, the header alone in the first.
  Bytes v4(4 * 4096, 0);
  std::copy(word.begin(), word.begin() + 512, v4.begin());
  PutLe16(v4, 26, 4);
  PutLe16(v4, 30, 12);
  PutLe32(v4, 40, 1);  // directory sectors, counted from version 4 on
  for (size_t sector = 0; sector < 3; ++sector)
    std::copy(word.begin() + 512 * (sector + 1), word.begin() + 512 * (sector + 2),
              v4.begin() + 4096 * (sector + 1));
  for (size_t i = 128; i < 1024; ++i) PutLe32(v4, 3 * 4096 + 4 * i, 0xFFFFFFFF);
  ExpectWholeInNoise(v4, "doc");

  // An Android package signed with a signing block between its members
  // and its central directory.
  Bytes apk = SampleOfType(kTypeApk);
  const size_t end = apk.size() - 22;
  const uint32_t directory = ByteView(apk.data(), apk.size()).U32At(end + 16);
  Bytes block(8 + 12 + 100 + 8 + 16, 0);
  testing::PutLe64(block, 0, block.size() - 8);
  testing::PutLe64(block, 8, 4 + 100);
  PutLe32(block, 16, 0x7109871A);
  testing::PutLe64(block, 8 + 12 + 100, block.size() - 8);
  testing::PutBytes(block, 8 + 12 + 100 + 8, "APK Sig Block 42"sv);
  apk.insert(apk.begin() + directory, block.begin(), block.end());
  PutLe32(apk, apk.size() - 22 + 16, static_cast<uint32_t>(directory + block.size()));
  ExpectWholeInNoise(apk, "apk");
}

// A PDF of `sections`: the first starts with the header, each ends with a
// cross-reference table, a trailer whose startxref names it (0 where
// `zeroStart` says so, as in a linearized file's first part) and an end mark.
std::string Pdf(const std::vector<std::string>& sections, const std::vector<bool>& zeroStart = {},
                const std::string& eol = "\n") {
  std::string pdf = "%PDF-1.7" + eol + "%\xE2\xE3\xCF\xD3" + eol;
  for (size_t i = 0; i < sections.size(); ++i) {
    pdf += sections[i];
    const size_t xref = pdf.size();
    pdf += "xref" + eol + "0 1" + eol + "0000000000 65535 f" + eol + "trailer" + eol +
           "<< /Size 9 /Root 1 0 R >>" + eol + "startxref" + eol;
    pdf += (i < zeroStart.size() && zeroStart[i]) ? "0" : std::to_string(xref);
    pdf += eol + "%%EOF" + eol;
    // A linearized file's first part is padded.
    if (i < zeroStart.size() && zeroStart[i]) pdf += std::string(600, ' ') + eol;
  }
  return pdf;
}

TEST(CarvingDocuments, PdfEndsAtTheEndMarkThatEndsItsLastSection) {
  const std::string catalog = "1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n";
  const std::string pages = "2 0 obj\n<< /Type /Pages /Kids [] /Count 0 >>\nendobj\n";
  const std::string info = "3 0 obj\n<< /Producer (an update) >>\nendobj\n";
  // An embedded file whose own end mark (with a trailer naming an object of
  // the outer file) lies inside a stream.
  const std::string embedded =
      "4 0 obj\n<< /Type /EmbeddedFile /Length 60 >>\nstream\n%PDF-1.4\n1 0 obj\n<< >>\nendobj\n"
      "startxref\n15\n%%EOF\nendstream\nendobj\n";
  // A picture in a stream, starting on a sector of its own.
  const std::string picture = [&] {
    const std::string head =
        "%PDF-1.7\n%\xE2\xE3\xCF\xD3\n" + catalog + "4 0 obj\n<< /Length 00000000 >>\nstream\n";
    const Bytes jpeg = testing::JpegPicture(2000, 8);
    std::string data(512 - head.size() % 512, 'a');
    data.append(jpeg.begin(), jpeg.end());
    data.append(300, 'b');
    char length[16];
    std::snprintf(length, sizeof length, "%08zu", data.size());
    return catalog + "4 0 obj\n<< /Length " + length + " >>\nstream\n" + data + "\nendstream\nendobj\n" +
           pages;
  }();
  struct Case {
    const char* name;
    std::string pdf;
  };
  const Case cases[] = {
      {"one section", Pdf({catalog + pages})},
      {"a picture in a stream", Pdf({picture})},
      {"two incremental updates", Pdf({catalog + pages, info, "5 0 obj\n(x)\nendobj\n"})},
      {"linearized", Pdf({catalog, pages + info}, {true, false})},
      {"an end mark inside a stream", Pdf({catalog + embedded + pages})},
      {"lines ending in CR LF", Pdf({catalog + pages, info}, {}, "\r\n")},
      {"lines ending in CR", Pdf({catalog + pages, info}, {}, "\r")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectWholeInNoise(BytesOf(c.pdf), "pdf");
  }

  // An update cut short (no end mark of its own) leaves the file it updated.
  const std::string whole = Pdf({catalog + pages});
  Bytes cut = BytesOf(whole + info + "xref\n0 1\n");
  for (uint64_t at : {0u, 65u}) EXPECT_EQ(CarveInNoise(cut, at).length, whole.size());
  // So does an update whose sectors another file took over.
  ImageBuilder image;
  Bytes first = BytesOf(whole + info);
  first.resize(SectorsOf(first.size()) * 512 + 100, 'x');
  image.Put(3, first).Put(3 + SectorsOf(whole.size() + info.size()), SampleOfType(kTypePng)).Size(40);
  EXPECT_EQ(CarveAt(image.Source(), 3).length, whole.size());
}

TEST(CarvingDocuments, FilesOfOneFormatBackToBackComeOutEachWhole) {
  VELMIRA_REQUIRE_CORPUS(tsv, "_truth/media_files.tsv");
  const std::pair<const char*, const char*> pairs[][2] = {
      {{"py-pdf__sample-files/022-pdfkit/pdfkit.pdf", "pdf"},
       {"py-pdf__sample-files/001-trivial/minimal-document.pdf", "pdf"}},
      {{"python-excel__xlrd/tests/samples/sample.xlsx", "xlsx"},
       {"exiftool__exiftool/t/images/OOXML.docx", "docx"}},
      {{"decalage2__olefile/tests/images/test-ole-file.doc", "doc"},
       {"python-excel__xlrd/tests/samples/Formate.xls", "xls"}},
      {{"log2timeline__dfvfs/test_data/zip/syslog.zip", "zip"},
       {"log2timeline__dfvfs/test_data/zip/syslog.zip", "zip"}},
  };
  for (const auto& pair : pairs) {
    SCOPED_TRACE(pair[0].first);
    const Bytes a = Corpus(pair[0].first);
    const Bytes b = Corpus(pair[1].first);
    for (uint64_t at : {0u, 65u}) {
      ImageBuilder image;
      const uint64_t next = at + SectorsOf(a.size());
      image.Put(0, testing::RandomBytes((next + SectorsOf(b.size()) + 8) * 512, 5));
      Bytes slackA = a;
      slackA.resize(SectorsOf(a.size()) * 512, 0);
      image.Put(at, slackA).Put(next, b);
      const SectorSource source = image.Source();
      const Carved first = CarveAt(source, at);
      const Carved second = CarveAt(source, next);
      EXPECT_EQ(first.Extension(), pair[0].second);
      EXPECT_EQ(first.length, a.size());
      EXPECT_EQ(second.Extension(), pair[1].second);
      EXPECT_EQ(second.length, b.size());
    }
  }
}

TEST(CarvingDocuments, FalseHeadersAndBrokenStructuresGiveNoFile) {
  auto with = [](Bytes b, auto change) {
    change(b);
    return b;
  };
  const Bytes zip = SampleOfType(kTypeZip);
  const Bytes doc = SampleOfType(kTypeDoc);
  const size_t directory = zip.size() - 22 - (46 + 9) - (46 + 9);
  struct Case {
    const char* name;
    Bytes file;
  };
  const Case cases[] = {
      {"pdf header before noise", BytesOf("%PDF-1.4\n")},
      {"pdf header without a version", BytesOf("%PDF-x\n1 0 obj\n<< >>\nendobj\n")},
      {"pdf whose end mark never comes", BytesOf("%PDF-1.4\n1 0 obj\n<< >>\nendobj\n")},
      {"zip cut before its central directory", Bytes(zip.begin(), zip.begin() + directory)},
      {"zip member size off", with(zip, [](Bytes& b) { PutLe32(b, 18, 41); })},
      {"zip end record counting other entries", with(zip, [&](Bytes& b) { PutLe16(b, zip.size() - 12, 3); })},
      {"zip end record naming another directory",
       with(zip, [&](Bytes& b) { PutLe32(b, zip.size() - 6, 7); })},
      {"zip of an unknown method", with(zip, [](Bytes& b) { PutLe16(b, 8, 77); })},
      {"compound table entry out of range", with(doc, [](Bytes& b) { PutLe32(b, 1536, 0x00012345); })},
      {"compound table sector not marked", with(doc, [](Bytes& b) { PutLe32(b, 1536 + 8, 0xFFFFFFFE); })},
      {"compound table beyond the medium", with(doc, [](Bytes& b) { PutLe32(b, 76, 0x00F00000); })},
      {"compound sector size unknown", with(doc, [](Bytes& b) { PutLe16(b, 30, 10); })},
      {"compound directory without a root", with(doc, [](Bytes& b) { b[1024 + 66] = 1; })},
      {"compound magic alone", with(doc, [](Bytes& b) { b[4] = 0; })},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectNoFile(c.file);
  }
}

// A medium with a false header at every sector: each candidate reads a few
// sectors, not the rest of the medium.
TEST(CarvingDocuments, FloodsOfFalseHeadersStayCheap) {
  Bytes compound = BytesOf("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"sv);
  compound.resize(76, 0);
  PutLe16(compound, 26, 3);
  PutLe16(compound, 28, 0xFFFE);
  PutLe16(compound, 30, 9);
  PutLe16(compound, 32, 6);
  PutLe32(compound, 44, 109);
  for (uint32_t i = 0; i < 109; ++i) PutLe32(compound, 76 + 4 * i, i);
  const Bytes headers[] = {
      // A member whose sizes follow its data.
      BytesOf("PK\x03\x04\x14\x00\x08\x00\x08\x00\x00\x00\x00\x00\x00\x00\x00\x00"
              "\x00\x00\x00\x00\x00\x00\x00\x00\x05\x00\x00\x00"
              "a.txt"sv),
      BytesOf("%PDF-1.4\n1 0 obj\n<< /Length 9 >>\nstream\n"),
      compound,
  };
  constexpr uint64_t kSectors = 6000;
  for (const Bytes& header : headers) {
    SCOPED_TRACE(std::string(header.begin(), header.begin() + 4));
    ImageBuilder image;
    for (uint64_t s = 0; s < kSectors; ++s) {
      Bytes sector = testing::Noise(512, static_cast<uint32_t>(s));
      testing::PutBytes(sector, 0, header);
      image.Put(s, sector);
    }
    const SectorSource source = image.Source();
    CarvingState state;
    size_t carved = 0;
    for (uint64_t s = 0; s < kSectors; ++s) carved += CarveAt(source, s, 512, state).row != nullptr;
    EXPECT_EQ(carved, 0u);
    EXPECT_LT(testing::ReaderOf(source).reads, int{8 * kSectors});
  }
}

// The carver itself names the records by the row the length rule reports,
// and skips the sectors of what it carved (a document's pictures are no
// files of their own).
TEST(CarvingDocuments, TheSweepNamesFilesByWhatTheyHold) {
  testing::ScopedDataHome home;
  testing::TempDir dir;
  const std::pair<Bytes, const char*> files[] = {
      {SampleOfType(kTypeOdt), "odt"},
      {SampleOfType(kTypeMsg), "msg"},
      {SampleOfType(kTypeOoxmlPowerPoint), "pptx"},
      {SampleOfType(kTypePdf), "pdf"},
  };
  ImageBuilder image;
  std::map<uint64_t, std::string> expected;
  uint64_t sector = 7;
  for (const auto& [file, extension] : files) {
    image.Put(sector, file);
    expected[sector] = std::to_string(sector) + "." + extension;
    sector += SectorsOf(file.size()) + 3;
  }
  // A picture stored in a ZIP member, starting on a sector of its own, is
  // not carved again.
  const Bytes jpeg = testing::JpegPicture(3000, 4);
  Bytes archive;
  testing::PutBytes(archive, 0, "PK\x03\x04"sv);
  PutLe16(archive, 4, 20);
  PutLe32(archive, 18, static_cast<uint32_t>(jpeg.size()));
  PutLe32(archive, 22, static_cast<uint32_t>(jpeg.size()));
  PutLe16(archive, 26, 9);
  PutLe16(archive, 28, 512 - 39);
  testing::PutBytes(archive, 30, "photo.jpg"sv);
  PutLe16(archive, 39, 0xCAFE);
  PutLe16(archive, 41, 512 - 39 - 4);
  testing::PutBytes(archive, 512, jpeg);
  const size_t central = archive.size();
  testing::PutBytes(archive, central, "PK\x01\x02"sv);
  PutLe32(archive, central + 20, static_cast<uint32_t>(jpeg.size()));
  PutLe32(archive, central + 24, static_cast<uint32_t>(jpeg.size()));
  PutLe16(archive, central + 28, 9);
  testing::PutBytes(archive, central + 46, "photo.jpg"sv);
  const size_t end = archive.size();
  testing::PutBytes(archive, end, "PK\x05\x06"sv);
  PutLe16(archive, end + 8, 1);
  PutLe16(archive, end + 10, 1);
  PutLe32(archive, end + 12, static_cast<uint32_t>(end - central));
  PutLe32(archive, end + 16, static_cast<uint32_t>(central));
  archive.resize(end + 22, 0);
  image.Put(sector, archive);
  expected[sector] = std::to_string(sector) + ".zip";
  sector += SectorsOf(archive.size()) + 3;
  image.Size(sector + 4);

  const std::string path = dir.File("docs.img");
  testing::WriteFileBytes(path, image.bytes());
  CFileTypeRecovery engine;
  ASSERT_EQ(engine.OpenImage(path, 1001), kOk);
  CarveSweepResult swept;
  ASSERT_EQ(CarveSweep(engine, 0, engine.Source().sectorCount, nullptr, nullptr, swept), kOk);
  std::vector<FoundRecord> records;
  ASSERT_EQ(engine.ListChildren(nullptr, 0, records), kOk);
  std::map<uint64_t, std::string> names;
  for (const FoundRecord& r : records) names[uint64_t{r.entrySector}] = RecordName(r);
  EXPECT_EQ(names, expected);
}

}  // namespace
}  // namespace velmira
