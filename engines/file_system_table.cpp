#include "engines/file_system_table.h"

#include <algorithm>

#include "engines/boot_sector.h"
#include "engines/combined/deep_recovery.h"
#include "engines/exfat/deep_exfat_sweep.h"
#include "engines/exfat/fast_exfat_recovery.h"
#include "engines/ext/fast_ext_recovery.h"
#include "engines/fat/deep_fat_sweep.h"
#include "engines/fat/fast_fat_recovery.h"
#include "engines/file_recovery_parse.h"  // the records and their engine tags
#include "engines/ntfs/deep_ntfs_sweep.h"
#include "engines/ntfs/fast_ntfs_recovery.h"
#include "engines/sweep_participant.h"
#include "results/scan_log_registry.h"

namespace velmira {
namespace {

template <typename Engine>
std::unique_ptr<IFileRecoveryParse> Make() {
  return std::make_unique<Engine>();
}

// Deep scans are recorded in the process's registry, which the front ends own.
template <>
std::unique_ptr<IFileRecoveryParse> Make<CDeepRecovery>() {
  return std::make_unique<CDeepRecovery>(CScanLogRegistry::Instance());
}

// Every deep scan is the combined one: the fast scan of the file system,
// then the sweep that every file system's lost structures are looked for in.
// The sweep offers a sector to NTFS first (a file record's later sectors may
// look like anything), then to exFAT before FAT (the first bytes of an entry
// set can pass for FAT directory entries).
constexpr FileSystemRow kRows[] = {
    {FileSystemKind::kNtfs, "NTFS", IsNtfsHead, Make<CFastNtfsRecovery>, Make<CDeepRecovery>, kTagFastNtfs,
     kTagDeepNtfs, false, NewDeepNtfsParticipant, 0},
    {FileSystemKind::kFat, "FAT", IsFatHead, Make<CFastFatRecovery>, Make<CDeepRecovery>, kTagFastFat,
     kTagDeepFat, true, NewDeepFatParticipant, 2},
    {FileSystemKind::kExfat, "exFAT", IsExfatHead, Make<CFastExfatRecovery>, Make<CDeepRecovery>,
     kTagFastExfat, kTagDeepExfat, false, NewDeepExfatParticipant, 1},
    {FileSystemKind::kExt, "ext", IsExtHead, Make<CFastExtRecovery>, Make<CDeepRecovery>, kNoEngineTag,
     kNoEngineTag, false, nullptr, 0},
};

}  // namespace

std::span<const FileSystemRow> FileSystemRows() {
  return kRows;
}

const FileSystemRow* FileSystemRowOf(FileSystemKind kind) {
  for (const FileSystemRow& row : kRows)
    if (row.kind == kind) return &row;
  return nullptr;
}

const FileSystemRow* FileSystemOfTag(uint32_t engineTag) {
  if (engineTag == kNoEngineTag) return nullptr;
  for (const FileSystemRow& row : kRows)
    if (row.fastTag == engineTag || row.deepTag == engineTag) return &row;
  return nullptr;
}

bool IsFastEngineTag(uint32_t engineTag) {
  const FileSystemRow* row = FileSystemOfTag(engineTag);
  return row != nullptr && row->fastTag == engineTag;
}

std::vector<SweepMember> NewSweepMembers() {
  std::vector<SweepMember> members;
  for (const FileSystemRow& row : kRows)
    if (row.newSweepParticipant != nullptr) members.push_back(SweepMember{&row, row.newSweepParticipant()});
  std::stable_sort(members.begin(), members.end(), [](const SweepMember& a, const SweepMember& b) {
    return a.row->sweepRank < b.row->sweepRank;
  });
  return members;
}

HeadClassification ClassifyHead(ByteView head) {
  HeadClassification result;
  for (const FileSystemRow& row : kRows)
    if (row.accepts(head)) result.accepted.push_back(row.kind);
  if (result.accepted.size() == 1) result.kind = result.accepted.front();
  if (result.accepted.size() > 1) result.kind = FileSystemKind::kAmbiguous;
  return result;
}

FileSystemKind ClassifyFileSystem(ByteView head) {
  return ClassifyHead(head).kind;
}

const char* FileSystemKindName(FileSystemKind kind) {
  if (const FileSystemRow* row = FileSystemRowOf(kind)) return row->name;
  return kind == FileSystemKind::kAmbiguous ? "ambiguous" : "other";
}

std::string FileSystemText(const HeadClassification& head) {
  std::string text = FileSystemKindName(head.kind);
  if (head.kind != FileSystemKind::kAmbiguous) return text;
  text += " (";
  for (size_t i = 0; i < head.accepted.size(); ++i) {
    if (i != 0) text += ", ";
    text += FileSystemKindName(head.accepted[i]);
  }
  return text + ")";
}

}  // namespace velmira
