// The desktop program's disk list without widgets: which disk rows an
// arrival or a removal changes, and the texts of rows and facts. Also the
// shutdown rule that only the players the program started are ended.
#include "jobs/disk_list.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/child_processes.h"
#include "platform/errors.h"

namespace velmira {
namespace {

PartitionRecord Volume(uint16_t number, uint64_t start, const std::string& fs) {
  PartitionRecord r;
  r.letterOrNumber = number;
  r.startSector = start;
  r.sectorCount = 2048;
  r.totalBytes = 2048 * 512;
  r.fileSystemName = fs;
  r.partitionNumber = 1;
  r.kind = RegionKind::kVolume;
  return r;
}

// Drives by path, each with regions starting at the given sectors.
DiskSnapshot Snapshot(const std::vector<std::pair<std::string, std::vector<uint64_t>>>& drives) {
  DiskSnapshot s;
  uint16_t number = 1;
  for (size_t i = 0; i < drives.size(); ++i) {
    DriveInfo d;
    d.diskNumber = static_cast<int32_t>(i);
    d.path = drives[i].first;
    s.drives.push_back(d);
    for (const uint64_t start : drives[i].second) {
      PartitionRecord r = Volume(number++, start, "FAT32");
      r.diskNumber = d.diskNumber;
      s.map.disks[d.diskNumber].push_back(r);
    }
  }
  return s;
}

const TextSection kMessages = {
    {"MSG0201", "Disk"},         {"MSG0202", "Removable disk"}, {"MSG0203", "Number:"}, {"MSG0204", "Label:"},
    {"MSG0205", "File system:"}, {"MSG0206", "Size:"},          {"MSG0207", "Used:"},   {"MSG0208", "Free:"},
    {"MSG0209", "Image file:"},  {"MSG0210", "Size:"}};
const TextSection kWindow = {{kTextUnallocated, "Unallocated space"},  {kTextWholeDrive, "Whole disk"},
                             {kTextNoAccess, "No permission to read"}, {kTextDevice, "Device:"},
                             {kTextMountedOn, "Mounted on:"},          {kTextNotMounted, "not mounted"}};

TEST(DiskList, ArrivalAndRemovalKnowDisksByTheirPath) {
  const DiskSnapshot kept = Snapshot({{"/dev/sda", {2048, 409600}}, {"/dev/sdc", {63}}});

  // sdb arrives and takes number 1 from sdc: only sdb is new.
  const DiskSnapshot arrived =
      Snapshot({{"/dev/sda", {2048, 409600}}, {"/dev/sdb", {2048}}, {"/dev/sdc", {63}}});
  EXPECT_EQ(ArrivedDisks({"/dev/sda", "/dev/sdc"}, arrived), (std::vector<int32_t>{1}));
  EXPECT_TRUE(DisksWithLostRegions(kept, arrived).empty());
  ASSERT_NE(arrived.FindRegion("/dev/sdc", 63), nullptr);
  EXPECT_EQ(arrived.FindRegion("/dev/sdc", 63)->letterOrNumber, 4) << "its record is numbered anew";

  // A partition of sda is gone, and sdc left: both disks lose their rows.
  const DiskSnapshot removed = Snapshot({{"/dev/sda", {2048}}, {"/dev/sdb", {2048}}});
  EXPECT_EQ(DisksWithLostRegions(arrived, removed), (std::set<std::string>{"/dev/sda", "/dev/sdc"}));
  // A region of the same disk at another start does not stand in for it.
  EXPECT_EQ(DisksWithLostRegions(Snapshot({{"/dev/sda", {2048}}}), Snapshot({{"/dev/sda", {4096}}})),
            (std::set<std::string>{"/dev/sda"}));
}

TEST(DiskList, DisksShownAreThoseWithRegionsOrWithoutPermission) {
  DiskSnapshot s = Snapshot({{"/dev/sda", {2048}}, {"/dev/sdb", {}}, {"/dev/sdc", {}}});
  s.drives[2].openError = kErrAccessDenied;
  s.map.disks[1];  // an empty list
  EXPECT_EQ(s.DiskNumbers(), (std::vector<int32_t>{0, 2}));
  EXPECT_EQ(s.DrivePath(2), "/dev/sdc");
  EXPECT_EQ(s.DrivePath(7), "");
  EXPECT_TRUE(s.Regions(5).empty());

  const RowTexts denied = DiskRowTexts(s.drives[2], kMessages, kWindow);
  EXPECT_EQ(denied.name, "Disk 3  /dev/sdc");
  EXPECT_EQ(denied.type, "No permission to read");
  EXPECT_EQ(denied.size, "");
  DriveInfo card;
  card.diskNumber = 1;
  card.path = "/dev/mmcblk0";
  card.removable = true;
  card.length = 31914983424ull;
  EXPECT_EQ(DiskRowTexts(card, kMessages, kWindow).name, "Removable disk 2  /dev/mmcblk0");
  EXPECT_EQ(DiskRowTexts(card, kMessages, kWindow).size, "29.72 GB");
  EXPECT_EQ(DiskFacts(card, kMessages, kWindow)[6], "Device: /dev/mmcblk0");
}

TEST(DiskList, RowAndFactTexts) {
  PartitionRecord card = Volume(1, 2048, "FAT32");
  card.rootPath = "/dev/sdb1";
  card.volumeLabel = "CAMERA";
  card.mountPoint = "/media/anna/CAMERA";
  card.totalBytes = 1ull << 30;
  card.freeBytes = 3ull << 28;
  card.usedBytes = 1ull << 28;
  const RowTexts row = PartitionRowTexts(card, "/dev/sdb", kWindow);
  EXPECT_EQ(row.name, "1:  /dev/sdb1  CAMERA");
  EXPECT_EQ(row.type, "FAT32");
  EXPECT_EQ(row.size, "1.00 GB");
  EXPECT_EQ(row.mount, "/media/anna/CAMERA");
  const FactTexts facts = PartitionFacts(card, "/dev/sdb", kMessages, kWindow);
  ASSERT_EQ(facts.size(), kFactLabels);
  EXPECT_EQ(facts[0], "Number: 1");
  EXPECT_EQ(facts[1], "Label: CAMERA");
  EXPECT_EQ(facts[2], "File system: FAT32");
  EXPECT_EQ(facts[3], "Size: 1.00 GB");
  EXPECT_EQ(facts[4], "Used: 256.00 MB");
  EXPECT_EQ(facts[5], "Free: 768.00 MB");
  EXPECT_EQ(facts[6], "Device: /dev/sdb1");
  EXPECT_EQ(facts[7], "Mounted on: /media/anna/CAMERA");
  EXPECT_EQ(facts[8], "");

  // A volume inside an image file has no node of its own; an unmounted one
  // has no known free space; one without a label shows only the caption.
  PartitionRecord inImage = Volume(2, 4096, "NTFS");
  inImage.partitionNumber = 2;
  inImage.rootPath = "/home/anna/disk.img";
  EXPECT_EQ(PartitionRowTexts(inImage, "/home/anna/disk.img", kWindow).name, "2:  disk.img #2");
  const FactTexts unmounted = PartitionFacts(inImage, "/home/anna/disk.img", kMessages, kWindow);
  EXPECT_EQ(unmounted[1], "Label:");
  EXPECT_EQ(unmounted[4], "Used: -");
  EXPECT_EQ(unmounted[5], "Free: -");
  EXPECT_EQ(unmounted[7], "Mounted on: not mounted");
  inImage.partitionNumber = 0;  // a file system filling the image
  EXPECT_EQ(DeviceText(inImage, "/home/anna/disk.img"), "/home/anna/disk.img");

  PartitionRecord free = Volume(3, 1 << 20, "");
  free.kind = RegionKind::kUnallocated;
  free.totalBytes = free.freeBytes = 20ull << 30;
  EXPECT_EQ(PartitionRowTexts(free, "/dev/sda", kWindow).name, "3:  Unallocated space");
  EXPECT_EQ(PartitionFacts(free, "/dev/sda", kMessages, kWindow)[5], "Free: 20.00 GB");
  free.kind = RegionKind::kWholeDrive;
  EXPECT_EQ(PartitionRowTexts(free, "/dev/sda", kWindow).name, "3:  Whole disk");

  EXPECT_EQ(ImageRowTexts("/home/anna/card.img", 1536).size, "1.50 KB");
  const FactTexts image = ImageFacts("/home/anna/card.img", 1536, kMessages);
  EXPECT_EQ(image[0], "Image file: /home/anna/card.img");
  EXPECT_EQ(image[1], "Size: 1.50 KB");
  // Without language texts the values stand alone.
  EXPECT_EQ(PartitionFacts(card, "/dev/sdb", {}, {})[0], "1");
  EXPECT_EQ(PartitionFacts(card, "/dev/sdb", {}, {})[2], "FAT32");
}

pid_t StartSleeper() {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execlp("sleep", "sleep", "30", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return pid;
}

TEST(ChildProcesses, ShutdownEndsOnlyThePlayersItStarted) {
  const pid_t player = StartSleeper();
  const pid_t other = StartSleeper();
  ASSERT_GT(player, 0);
  ASSERT_GT(other, 0);
  RememberChildProcess(player);
  RememberChildProcess(-1);
  EXPECT_EQ(EndRememberedProcesses(), 1u);
  int status = 0;
  ASSERT_EQ(::waitpid(player, &status, 0), player);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
  EXPECT_EQ(::waitpid(other, &status, WNOHANG), 0) << "a process it did not start keeps running";
  EXPECT_EQ(EndRememberedProcesses(), 0u) << "the list is cleared";
  ::kill(other, SIGKILL);
  ::waitpid(other, &status, 0);

  // A remembered process that ended and was reaped is not signalled again.
  const pid_t gone = StartSleeper();
  RememberChildProcess(gone);
  ::kill(gone, SIGKILL);
  ::waitpid(gone, &status, 0);
  EXPECT_EQ(EndRememberedProcesses(), 0u);
}

}  // namespace
}  // namespace velmira
