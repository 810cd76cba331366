#include "results/result_tree.h"

#include <gtest/gtest.h>

#include <set>

#include "jobs/search_job.h"
#include "platform/errors.h"
#include "platform/time_util.h"
#include "results/extension_lists.h"
#include "tests/fixtures/fake_scan_engine.h"

namespace velmira {
namespace {

using testing::FakeFile;
using testing::FakeScanEngine;

TEST(ResultTree, TypeTextsGroupKeysAndIcons) {
  FoundRecord photo = FakeFile(1, "IMG_0001.JPEG", 10);
  EXPECT_EQ(TypeText(photo), "JPEG");
  EXPECT_EQ(TypeGroupKey("IMG_0001.JPEG"), "jpg");
  EXPECT_EQ(IconFor(TypeText(photo), 1), "FileIcon/image.png");
  EXPECT_EQ(IconFor(TypeText(photo), 0), "FileIcon/image_error.png");

  FoundRecord readme = FakeFile(1, "README", 10);
  EXPECT_EQ(TypeText(readme), "file");
  EXPECT_EQ(TypeGroupKey("README"), "readme");
  EXPECT_EQ(IconFor(TypeText(readme), 1), "FileIcon/default.png");

  FoundRecord folder = FakeFile(1, "DCIM", 0);
  folder.isFolder = 1;
  EXPECT_EQ(TypeText(folder), "folder");
  EXPECT_EQ(IconFor("folder", 0), "FileIcon/folder.png");
  EXPECT_EQ(SizeText(folder), "");
  EXPECT_EQ(SizeText(FakeFile(1, "a.jpg", 1536)), "1.50 KB");

  EXPECT_EQ(IconFor("rm", 1), "FileIcon/music.png");  // audio before video
  EXPECT_EQ(IconFor("EXE", 0), "FileIcon/exe_error.png");
  EXPECT_EQ(IconFor("pdf", 1), "FileIcon/doc.png");
  EXPECT_EQ(IconFor("rar", 1), "FileIcon/zip.png");
  for (const char* alias : {"a.tiff", "a.scr", "a.MIDI", "a.m4p"})
    EXPECT_NE(TypeGroupKey(alias), ExtensionOf(alias)) << alias;
}

TEST(ResultTree, TimeTexts) {
  EXPECT_EQ(TimeText(0), "    ----    ");
  // 2024-03-05 07:08:09, shown as stored.
  CivilTime t;
  t.year = 2024;
  t.month = 3;
  t.day = 5;
  t.hour = 7;
  t.minute = 8;
  t.second = 9;
  uint64_t fileTime = 0;
  ASSERT_TRUE(FileTimeFromCivil(t, fileTime));
  EXPECT_EQ(TimeText(fileTime), "2024-3-5 07:08:09");
}

TEST(ResultTree, GroupByTypeKeepsListOrderAndLabels) {
  const std::vector<FoundRecord> list = {FakeFile(1, "a.jpeg", 1), FakeFile(1, "x.mp3", 1),
                                         FakeFile(1, "b.JPG", 1), FakeFile(1, "c.jpg", 1)};
  TypeGroups groups{{"stale", {7}}};
  GroupByType(list, groups);
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups["jpg"], (std::vector<uint32_t>{0, 2, 3}));
  EXPECT_EQ(groups["mp3"], (std::vector<uint32_t>{1}));
  EXPECT_EQ(TypeNodeLabel("JPG/JPEG (.jpg .jpeg)", 3), "JPG/JPEG (3)");
  EXPECT_EQ(TypeNodeLabel("Plain", 2), "Plain (2)");
  EXPECT_EQ(TypeNodeLabel("(x)", 2), " (2)");
  EXPECT_EQ(CategoryNodeLabel("Photos", 40), "Photos (40)");
}

// The combined scan lists a file by its entry from the fast and the deep
// pass, and carved again from its data: the page shows it once.
TEST(ResultTree, OneRowPerFile) {
  auto fat = [](uint32_t tag, const char* name, uint32_t cluster, uint64_t size) {
    FoundRecord r = FakeFile(3, name, size);
    r.engineTag = tag;
    r.key = cluster;
    r.clusterBytes = 4096;
    r.partitionStart = 2048;
    r.dataStart = 100;
    r.entrySector = 2148;
    return r;
  };
  auto carved = [](const char* name, uint64_t sector, uint64_t size, uint16_t source = 3) {
    FoundRecord r = FakeFile(source, name, size);
    r.engineTag = kTagCarving;
    r.clusterBytes = kNoClusterBytes;
    r.entrySector = sector;
    return r;
  };
  FoundRecord ntfs = FakeFile(3, "report.pdf", 900);
  ntfs.engineTag = kTagFastNtfs;
  ntfs.key = 40;
  ntfs.entrySector = 9000;
  FoundRecord ntfsDeep = ntfs;
  ntfsDeep.engineTag = kTagDeepNtfs;
  // Cluster 5 starts at 2048 + 100 + 3 * 8 = 2172.
  std::vector<FoundRecord> files = {fat(kTagFastFat, "clip.mov", 5, 50000),
                                    fat(kTagFastFat, "b.jpg", 9, 300),  // one sector, two entries
                                    ntfs,
                                    carved("00001.mp4", 2172, 20000),  // shorter copy of clip.mov
                                    fat(kTagDeepFat, "clip.mov", 5, 50000),
                                    ntfsDeep,                          // the deep pass again
                                    carved("00002.jpg", 2204, 90000),  // b.jpg's type, longer
                                    carved("00003.png", 2204, 90000),  // another file, longer
                                    carved("00004.jpg", 2172, 10, 4),  // another source
                                    carved("00005.jpg", 4000, 10)};
  DropRepeatedFiles(files);
  std::vector<std::string> names;
  for (const FoundRecord& r : files) names.push_back(RecordName(r));
  EXPECT_EQ(names, (std::vector<std::string>{"clip.mov", "b.jpg", "report.pdf", "00003.png", "00004.jpg",
                                             "00005.jpg"}));

  // An NTFS file's start comes from its engine, asked only for the files
  // that do not tell it themselves: the shorter carved copy at report.pdf's
  // start goes, a longer one elsewhere stays.
  std::vector<std::string> asked;
  const DataSectorLookup lookup = [&asked](const FoundRecord& r, uint64_t& sector) {
    asked.push_back(RecordName(r));
    sector = 5000;
    return r.engineTag == kTagFastNtfs || r.engineTag == kTagDeepNtfs;
  };
  files = {ntfs, carved("00006.jpg", 5000, 900), carved("00007.jpg", 5008, 100), ntfsDeep};
  DropRepeatedFiles(files, 512, lookup);
  names.clear();
  for (const FoundRecord& r : files) names.push_back(RecordName(r));
  EXPECT_EQ(names, (std::vector<std::string>{"report.pdf", "00007.jpg"}));
  EXPECT_EQ(asked, (std::vector<std::string>{"report.pdf", "report.pdf"}));
  // Without carved files no engine is asked.
  asked.clear();
  files = {ntfs, fat(kTagFastFat, "clip.mov", 5, 50000)};
  DropRepeatedFiles(files, 512, lookup);
  EXPECT_TRUE(asked.empty());
  EXPECT_EQ(files.size(), 2u);
}

TEST(SearchPattern, MapOrderLastOptionWinsAndConversion) {
  std::vector<TypeOption> options = {{"OptJpg", TypeGroup::kPhoto, "jpg|jpeg", "JPG", true},
                                     {"OptMp3", TypeGroup::kAudio, "mp3", "MP3", true},
                                     {"OptOther", TypeGroup::kVideo, "jpg", "Other", true}};
  const ExtensionMap map = BuildExtensionMap(options);
  EXPECT_EQ(map.at("jpg"), 2u);
  EXPECT_EQ(map.at("jpeg"), 0u);
  EXPECT_EQ(BuildSearchPattern(map), "*.jpeg|*.jpg|*.mp3");
  EXPECT_EQ(ConvertSearchPattern("*.jpeg|*.jpg"), ".\\.jpeg|.\\.jpg");
  EXPECT_EQ(ConvertSearchPattern("a\\*b^$+?{}[]"), "a\\b\\^\\$\\+\\?\\{\\}\\[\\]");
  // The empty map: the three lists, empty alternatives included.
  const std::string all = BuildSearchPattern({});
  EXPECT_NE(all.find("*.thm||*.mp3"), std::string::npos);

  // Selecting narrows the pattern; nothing selected searches everything.
  options[0].selected = false;
  options[2].selected = false;
  EXPECT_EQ(SearchPatternFor(options), ".\\.mp3");
  options[1].selected = false;
  EXPECT_EQ(SearchPatternFor(options), ".\\.jpeg|.\\.jpg|.\\.mp3");
}

TEST(SearchPattern, CompletedOptionsOfferEveryKnownType) {
  std::vector<TypeOption> options = {{"OptJpg", TypeGroup::kPhoto, "jpg|jpeg", "JPG/JPEG (.jpg .jpeg)", true},
                                     {"OptM4a", TypeGroup::kAudio, "m4a", "AAC (.m4a)", true}};
  CompleteTypeOptions(options);
  const ExtensionMap map = BuildExtensionMap(options);
  // Every list extension and the table's own photo/audio/video types.
  for (const char* ext : {"pcx", "scr", "thm", "ape", "rm", "lrv", "mp2", "mmf", "mpg", "jfif", "ts"})
    EXPECT_EQ(map.count(ext), 1u) << ext;
  // Spellings join the option of their type.
  EXPECT_EQ(options[1].extensions, "m4a|m4p");
  EXPECT_EQ(options[1].label, "AAC (.m4a)");
  const TypeOption& pcx = options[map.at("scr")];
  EXPECT_EQ(pcx.label, "PCX (.pcx .scr)");
  EXPECT_EQ(pcx.group, TypeGroup::kPhoto);
  EXPECT_EQ(options[map.at("rm")].group, TypeGroup::kAudio);  // audio list first
  EXPECT_EQ(options[map.at("ts")].group, TypeGroup::kVideo);
  EXPECT_EQ(options[map.at("mp2")].group, TypeGroup::kAudio);
  // Documents and archives as the recovery folders sort them.
  for (const char* ext : {"pdf", "txt", "docx", "db"})
    EXPECT_EQ(options[map.at(ext)].group, TypeGroup::kDocument) << ext;
  for (const char* ext : {"zip", "7z", "gz"})
    EXPECT_EQ(options[map.at(ext)].group, TypeGroup::kArchive) << ext;
  // Every option is named uniquely.
  std::set<std::string> names;
  for (const TypeOption& o : options) EXPECT_TRUE(names.insert(o.name).second) << o.name;
}

struct SearchRecorder : SearchJob::Observer {
  std::vector<std::string> stages;
  std::vector<int32_t> percents;
  void OnStage(size_t, const std::string& text) override { stages.push_back(text); }
  void OnProgress(int32_t percent, const std::string&) override { percents.push_back(percent); }
};

TEST(SearchJob, CollectsFromEverySourceAndKeepsFilesOnCancel) {
  ScanSource a, b;
  a.imagePath = "/x/a.img";
  a.imageValue = 1001;
  b.imagePath = "/x/b.img";
  b.imageValue = 1002;
  auto ea = std::make_unique<FakeScanEngine>();
  ea->records = {FakeFile(1001, "a.jpg", 1), FakeFile(1001, "n.txt", 1), FakeFile(1001, "s.mp3", 1)};
  auto eb = std::make_unique<FakeScanEngine>();
  eb->records = testing::ManyFakeFiles(1002, 100);
  eb->searchReportEvery = 10;
  FakeScanEngine* engineB = eb.get();
  a.engine = std::move(ea);
  b.engine = std::move(eb);

  JobControl control;
  SearchRecorder seen;
  std::vector<FoundRecord> found;
  SearchJob job({&a, &b}, ConvertSearchPattern("*.jpg|*.mp3"), found, control, {{"MSG1203", "in %s"}}, &seen);
  EXPECT_EQ(job.Run(), SearchJob::Outcome::kFinished);
  EXPECT_EQ(seen.stages, (std::vector<std::string>{"in a.img", "in b.img"}));
  EXPECT_EQ(found.size(), 2u + 26u + 13u);
  EXPECT_EQ(seen.percents.size(), 10u);
  EXPECT_TRUE(job.FirstError().IsOk());

  // A source that fails keeps its matches, and the failure names it.
  engineB->collectResult = kErrReadFault;
  std::vector<FoundRecord> partly;
  SearchJob failing({&a, &b}, ConvertSearchPattern("*.jpg|*.mp3"), partly, control);
  EXPECT_EQ(failing.Run(), SearchJob::Outcome::kFinished);
  EXPECT_EQ(failing.FirstError().Code(), kErrReadFault);
  EXPECT_EQ(failing.FailedSource(), 1u);
  EXPECT_EQ(partly.size(), found.size());
  engineB->collectResult = kOk;

  // A cancel at the collection's third report keeps what came before.
  found.clear();
  control.Reset();
  int reports = 0;
  struct Canceller : SearchJob::Observer {
    JobControl* control;
    int* reports;
    void OnProgress(int32_t, const std::string&) override {
      if (++*reports == 3) control->Cancel();
    }
  } canceller;
  canceller.control = &control;
  canceller.reports = &reports;
  SearchJob cancelled({&a, &b}, ConvertSearchPattern("*.jpg|*.mp3"), found, control, {}, &canceller);
  const SearchJob::Outcome outcome = cancelled.Run();
  EXPECT_EQ(outcome, SearchJob::Outcome::kCancelled);
  EXPECT_TRUE(SearchJob::Announces(outcome));
  EXPECT_EQ(SearchJob::CloseCode(outcome), 2);
  EXPECT_TRUE(cancelled.FirstError().IsOk()) << "a stop is no failure";
  EXPECT_GE(found.size(), 2u);
  EXPECT_LT(found.size(), 41u);
  EXPECT_EQ(control.done.load(), 1);

  // A source without an engine ends without an announcement.
  engineB = nullptr;
  b.engine.reset();
  control.Reset();
  found.clear();
  SearchJob missing({&a, &b}, ".jpg", found, control);
  EXPECT_FALSE(SearchJob::Announces(missing.Run()));
  (void)engineB;
}

}  // namespace
}  // namespace velmira
