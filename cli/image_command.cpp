#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/cli_support.h"
#include "cli/command_registry.h"
#include "cli/commands.h"
#include "cli/progress_line.h"
#include "platform/drives.h"
#include "platform/errors.h"
#include "platform/file_handle.h"
#include "storage/disk_discovery.h"
#include "storage/disk_image_copy.h"
#include "storage/rescue_map.h"

namespace velmira::cli {
namespace {

volatile std::sig_atomic_t g_interrupted = 0;

void OnInterrupt(int) {
  g_interrupted = 1;
}

struct ImageProgress {
  const ImageJob* job = nullptr;
  ProgressLine* line = nullptr;
};

int32_t ReportProgress(void* userData, int32_t percent, uint64_t sectorsDone, uint64_t sectorsTotal,
                       int32_t secondsLeft) {
  if (g_interrupted != 0) return kCancelled;
  auto* progress = static_cast<ImageProgress*>(userData);
  const ImageJob& job = *progress->job;
  const uint64_t bad = job.badSectors;
  const std::string left =
      secondsLeft < 0 ? std::string("estimating time left") : FormatDuration(secondsLeft) + " left";
  const uint64_t speed = job.bytesPerSecond;
  const std::string rate = speed == 0 ? std::string() : FormatSize(static_cast<int64_t>(speed)) + "/s, ";
  const std::string copied =
      FormatSize(static_cast<int64_t>((sectorsDone - std::min(sectorsDone, bad)) * job.sectorSize));
  char buf[300];
  std::snprintf(buf, sizeof buf,
                "copying: %3d%% (%" PRIu64 " / %" PRIu64 " sectors), %s copied, %" PRIu64 " unreadable, %s%s",
                percent, sectorsDone, sectorsTotal, copied.c_str(), bad, rate.c_str(), left.c_str());
  progress->line->Show(buf);
  return 0;
}

int Fail(int code, const std::string& message) {
  std::fprintf(stderr, "velmira-cli: %s\n", message.c_str());
  return code;
}

std::string CodeText(int32_t err) {
  return ErrorText(err) + " (error " + std::to_string(err) + ")";
}

int RunImage(const std::vector<std::string>& rawArgs) {
  bool force = false;
  bool resume = false;
  bool quiet = false;
  std::vector<std::string> args;
  for (const auto& a : rawArgs) {
    if (a == "--force" || a == "-f")
      force = true;
    else if (a == "--quiet" || a == "-q")
      quiet = true;
    else if (a == "--continue")
      resume = true;
    else if (a.size() > 1 && a[0] == '-' && a != "-")
      return Fail(kExitUsage, "unknown option '" + a + "' for image (see velmira-cli --help)");
    else
      args.push_back(a);
  }
  if (args.size() != 2)
    return Fail(kExitUsage, "image needs a SOURCE and an OUT file (see velmira-cli --help)");
  if (force && resume)
    return Fail(kExitUsage, "--continue goes on with the copy in OUT, --force starts it again: give one");
  SourceArg source;
  std::string error;
  int resolveExit = kExitOk;
  if (!ResolveSourceArg(args[0], source, error, resolveExit)) return Fail(resolveExit, error);
  const std::string& out = args[1];

  std::string sourcePath = source.imagePath;
  const std::string shown = SourceName(source);
  if (source.isDisk) {
    if (DiskDevicePath(source.diskNumber, sourcePath) != kOk)
      return Fail(kExitCannotOpen, "cannot open " + shown + ": there is no such drive");
  } else {
    struct stat st {};
    if (::stat(sourcePath.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
      return Fail(kExitCannotOpen, "'" + sourcePath + "' is a folder, not an image file or device");
  }

  // The size of the copy, before anything is written.
  FileHandle probe;
  int32_t err = OpenReadOnly(sourcePath, probe);
  if (err != kOk) return Fail(kExitCannotOpen, "cannot open " + shown + ": " + CodeText(err));
  DriveGeometry geometry;
  uint64_t length = 0;
  err = QueryDriveGeometry(probe, geometry);
  if (err == kOk) err = QueryDriveLength(probe, length);
  probe.Close();
  if (err != kOk) return Fail(kExitCannotOpen, "cannot read the size of " + shown + ": " + CodeText(err));
  const uint64_t driveSectors = length / geometry.bytesPerSector;
  if (driveSectors == 0) return Fail(kExitUnreadable, shown + " holds no whole sector to copy");
  uint64_t count = source.sectorCount;
  if (count == 0 && source.startSector < driveSectors) count = driveSectors - source.startSector;
  if (source.startSector >= driveSectors || count > driveSectors - source.startSector)
    return Fail(kExitUsage, "sectors " + std::to_string(source.startSector) + " to " +
                                std::to_string(source.startSector + count) + " run past the end of " + shown +
                                " (" + std::to_string(driveSectors) + " sectors)");
  const uint64_t bytes = count * geometry.bytesPerSector;

  const ImageTargetProblem problem = CheckImageTarget(sourcePath, out, bytes);
  switch (problem) {
    case ImageTargetProblem::kNotAFile:
      return Fail(kExitUsage, "'" + out + "' is not a regular file; the image must go into a file");
    case ImageTargetProblem::kIsSource:
      return Fail(kExitUsage, "'" + out + "' is the source itself; choose a file on another drive");
    case ImageTargetProblem::kOnSource:
      return Fail(kExitUsage, "'" + out +
                                  "' lies on the drive being copied; writing there could destroy what "
                                  "is to be recovered. Choose a folder on another drive");
    default:
      break;
  }
  const std::string mapPath = ImageMapPath(out);
  struct stat outStat {};
  const bool outExists = ::stat(out.c_str(), &outStat) == 0;
  if (resume) {
    RescueMap map;
    std::string reason;
    err = LoadImageMap(mapPath, bytes, geometry.bytesPerSector, map, reason);
    if (err == kErrFileNotFound)
      return Fail(kExitUsage, "there is no map '" + mapPath + "' of an earlier copy to continue");
    if (err == kErrInvalidData)
      return Fail(kExitUsage, "'" + mapPath + "' is not the map of a copy of " + shown + ": " + reason);
    if (err != kOk) return Fail(kExitFailed, "cannot read '" + mapPath + "': " + CodeText(err));
    if (!outExists)
      return Fail(kExitUsage, "'" + out + "' is missing; its map '" + mapPath +
                                  "' cannot be continued without it (use --force to start again)");
  } else if (!force) {
    if (!outExists && HasUnfinishedImageMap(out))
      return Fail(kExitUsage, "'" + mapPath + "' records an unfinished copy into '" + out +
                                  "', which is missing; add --force to start again");
    if (HasUnfinishedImageMap(out))
      return Fail(kExitUsage, "'" + out + "' holds an unfinished copy (see its map '" + mapPath +
                                  "'); add --continue to go on with it, or --force to start again");
    if (outExists) return Fail(kExitUsage, "'" + out + "' exists; add --force to overwrite it");
  }
  const std::string size = FormatSize(static_cast<int64_t>(bytes));
  if (problem == ImageTargetProblem::kTooLargeForFat32)
    return Fail(kExitFailed, "'" + out +
                                 "' is on a FAT32 file system, whose files end below 4 GB; the image (" +
                                 size + ") needs a drive formatted with NTFS, exFAT or ext4");
  if (problem == ImageTargetProblem::kTooLargeForFat)
    return Fail(kExitFailed, "'" + out +
                                 "' is on a FAT file system, which holds no file over 2 GB; the image (" +
                                 size + ") needs a drive formatted with NTFS, exFAT or ext4");
  if (problem == ImageTargetProblem::kNoSpace)
    return Fail(kExitFailed,
                "not enough free space for the image (" + size + ") where '" + out + "' would go");

  ImageJob job;
  ProgressLine progressLine(stderr, ProgressLine::StderrMode(quiet));
  ImageProgress line{&job, &progressLine};
  job.progress = ReportProgress;
  job.resume = resume;
  job.mapComments = {
      "Command line: velmira-cli image" + std::string(resume ? " --continue " : " ") + args[0] + " " + out,
      "Source: " + sourcePath + ", sectors " + std::to_string(source.startSector) + " to " +
          std::to_string(source.startSector + count - 1)};
  err = source.isDisk ? OpenImageJob(job, out, source.diskNumber, source.startSector, count, &line)
                      : OpenImageJobOnPath(job, out, sourcePath, source.startSector, count, &line);
  if (err != kOk) {
    const bool sourceOpen = job.drive.IsOpen();
    (void)CloseImageJob(job);  // the open failed already, and that is what is reported
    if (!sourceOpen) return Fail(kExitCannotOpen, "cannot open " + shown + ": " + CodeText(err));
    return Fail(kExitFailed, "cannot create '" + out + "': " + CodeText(err));
  }

  g_interrupted = 0;
  struct sigaction action {};
  struct sigaction oldInt {
  }, oldTerm{};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, &oldInt);
  ::sigaction(SIGTERM, &action, &oldTerm);
  err = RunImageJob(job);
  const uint64_t settled = job.sectorsDone;
  const uint64_t bad = job.badSectors;
  const int32_t closeErr = CloseImageJob(job);
  if (err == kOk) err = closeErr;
  ::sigaction(SIGINT, &oldInt, nullptr);
  ::sigaction(SIGTERM, &oldTerm, nullptr);
  progressLine.End();

  const std::string kept = "'" + out + "' holds " + std::to_string(settled) + " of " + std::to_string(count) +
                           " sectors so far; the map '" + mapPath + "' records which. Run the same command " +
                           "with --continue to go on";
  if (err == kCancelled) return Fail(kExitCancelled, "cancelled; " + kept);
  if (err != kOk)
    return Fail(kExitFailed, "the copy to '" + out + "' failed: " + CodeText(err) + "; " + kept);
  std::printf("copied %" PRIu64 " sectors (%s) of %s to %s\n", count - bad,
              FormatSize(static_cast<int64_t>(bytes)).c_str(), shown.c_str(), out.c_str());
  if (bad != 0) {
    std::printf("%" PRIu64
                " sectors could not be read; they hold zeros in the image. The map %s lists them\n",
                bad, mapPath.c_str());
    return kExitUnreadSectors;
  }
  std::printf("map: %s\n", mapPath.c_str());
  return kExitOk;
}

}  // namespace

VELMIRA_CLI_COMMAND(image, "image", "image [--force | --continue] [--quiet] SOURCE OUT.img",
                    "      copy SOURCE sector by sector into the file OUT.img: a whole drive (disk:N),\n"
                    "      or a region by its number in 'disks'. A line shows the percent done, the\n"
                    "      sectors copied, those found unreadable, the speed and the time left (on a\n"
                    "      terminal one line rewritten in place, else a line every 10 seconds;\n"
                    "      --quiet shows none). Read\n"
                    "      errors do not stop the copy: a failing stretch is skipped and read again at\n"
                    "      the end sector by sector; sectors that stay unreadable are zeros in OUT.img.\n"
                    "      OUT.img.map (GNU ddrescue's mapfile format) records what is copied, left and\n"
                    "      bad; --continue goes on with an interrupted copy from it, --force starts\n"
                    "      again. Refused: a target on the drive being copied, a FAT32 target for\n"
                    "      4 GB or more, a FAT target for more than 2 GB, a target without room, an\n"
                    "      existing OUT.img without --force or --continue. Exit status 0 when every\n"
                    "      sector was copied, 6 when the copy is complete but some sectors could not\n"
                    "      be read, 5 when interrupted (continue it with --continue)\n",
                    30, RunImage);

}  // namespace velmira::cli
