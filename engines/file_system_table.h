// The file systems the engines know, one row each: how a volume's head is
// told to hold it, the engines a scan of it gets, its part in the sweep of
// every deep scan, and the name it is shown by. A new file system is its
// folder under engines/, its kind below and its row in
// file_system_table.cpp; classification, the factory, the deep sweep and
// the names follow from the row.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/byte_view.h"

namespace velmira {

class CSweepParticipant;
class IFileRecoveryParse;

// kOther: no row accepts the head. kAmbiguous: more than one does (a volume
// formatted over another whose structures survive), so that none is trusted.
enum class FileSystemKind { kNtfs, kFat, kExt, kOther, kAmbiguous, kExfat };

struct FileSystemRow {
  FileSystemKind kind;
  const char* name;  // as the probe and the messages show it: "NTFS", "FAT", "exFAT", "ext"
  // Whether `head`, the first bytes of a volume (16 KiB from the factory; a
  // single boot sector read from a backup), holds this file system.
  bool (*accepts)(ByteView head);
  // The engine of a fast scan, and of a deep scan, of this file system; not
  // yet opened.
  std::unique_ptr<IFileRecoveryParse> (*newFastEngine)();
  std::unique_ptr<IFileRecoveryParse> (*newDeepEngine)();
  // The engine tags (EngineTag) of the records its fast engine
  // and its engine in the deep sweep write; kNoEngineTag for none.
  uint32_t fastTag;
  uint32_t deepTag;
  // Its records keep local times (FAT) rather than UTC (NTFS, exFAT).
  bool localTimes;
  // Its engine in the sweep of a deep scan, which writes the records
  // tagged deepTag; null for a file system the sweep does not look for.
  std::unique_ptr<CSweepParticipant> (*newSweepParticipant)();
  // Where it comes in the sweep: a sector is offered to the participants
  // from the lowest rank up and taken by the first that knows it.
  uint8_t sweepRank;
};

inline constexpr uint32_t kNoEngineTag = 0xFFFFFFFFu;

[[nodiscard]] std::span<const FileSystemRow> FileSystemRows();
// The row of a file system; null for kOther and kAmbiguous.
[[nodiscard]] const FileSystemRow* FileSystemRowOf(FileSystemKind kind);

// The row whose fast or deep engine writes records with `engineTag`; null
// for the carver's and unknown tags.
[[nodiscard]] const FileSystemRow* FileSystemOfTag(uint32_t engineTag);
// Whether a record with `engineTag` comes from a fast scan.
[[nodiscard]] bool IsFastEngineTag(uint32_t engineTag);

// A new participant of each row that has one, in sweep order, beside its
// row: what the sweep of one deep scan offers its sectors to.
struct SweepMember {
  const FileSystemRow* row;
  std::unique_ptr<CSweepParticipant> participant;
};
[[nodiscard]] std::vector<SweepMember> NewSweepMembers();

// What the rows say of a volume's head: every row that accepts it, in table
// order, and the kind that follows (the one row, kOther for none,
// kAmbiguous for more than one).
struct HeadClassification {
  FileSystemKind kind = FileSystemKind::kOther;
  std::vector<FileSystemKind> accepted;
};
[[nodiscard]] HeadClassification ClassifyHead(ByteView head);

// ClassifyHead(head).kind. `head` is the first bytes of the partition, at
// least 2,048 for the ext test to run.
[[nodiscard]] FileSystemKind ClassifyFileSystem(ByteView head);

// The row's name, "other" or "ambiguous".
[[nodiscard]] const char* FileSystemKindName(FileSystemKind kind);
// The name, and for an ambiguous head the file systems it looks like:
// "ambiguous (NTFS, ext)".
[[nodiscard]] std::string FileSystemText(const HeadClassification& head);

}  // namespace velmira
