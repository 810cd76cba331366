// How found files are shown: their type text, row icon, size and time texts,
// and their grouping by extension into the tree of types with counts.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "results/found_record.h"

namespace velmira {

// "folder" for a folder record; else the text after the last "." of the
// name, or "file" when the name has none.
[[nodiscard]] std::string TypeText(const FoundRecord& record);
[[nodiscard]] std::string TypeTextOfName(std::string_view name, bool isFolder);

// The key a file is grouped under in the tree of types: its lower-cased
// extension (the whole name without "."), with the spellings of one type
// brought together (jpeg -> jpg, tiff -> tif, scr -> pcx, midi -> mid,
// m4p -> m4a).
[[nodiscard]] std::string TypeGroupKey(std::string_view name);

// The row icon: "FileIcon/" and image.png, music.png, ... ("_error" before
// ".png" when the content check failed; folders are never marked).
[[nodiscard]] std::string IconFor(std::string_view typeText, uint32_t contentOk);

// "2024-3-5 07:08:09" as stored, or "    ----    " for 0.
inline constexpr const char* kNoTimeText = "    ----    ";
[[nodiscard]] std::string TimeText(uint64_t fileTime);

// The size column: FormatSize for files, nothing for folders.
[[nodiscard]] std::string SizeText(const FoundRecord& record);

// One row per file. Drops, keeping the first of each and the list order:
// - a file found again by another pass of the same file system on the same
//   source (fast and deep FAT, fast and deep NTFS): the same entry sector,
//   first cluster or file record, and name;
// - a carved file whose data starts where the data of a named file of the
//   same source starts, when it is of that file's type or not longer than
//   it: a copy of that file, or of its start. FAT files tell their start
//   themselves (at `bytesPerSector`); for the others `dataSector` is asked
//   (NTFS: the file record's first run), and only when the source has
//   carved files.
using DataSectorLookup = std::function<bool(const FoundRecord& record, uint64_t& sector)>;
void DropRepeatedFiles(std::vector<FoundRecord>& files, uint32_t bytesPerSector,
                       const DataSectorLookup& dataSector);
// The same without an engine to ask: FAT files only.
void DropRepeatedFiles(std::vector<FoundRecord>& files, uint32_t bytesPerSector = 512);

// Group key -> positions of its records in `results`, in list order.
using TypeGroups = std::map<std::string, std::vector<uint32_t>>;
void GroupByType(const std::vector<FoundRecord>& results, TypeGroups& groups);

// "JPG/JPEG (12)": the option text cut before the character that precedes
// its first "(" (the whole text without "("), and the count.
[[nodiscard]] std::string TypeNodeLabel(std::string_view optionText, uint64_t count);
// "Photos (40)": a category text and the sum of its extension nodes.
[[nodiscard]] std::string CategoryNodeLabel(std::string_view categoryText, uint64_t count);

}  // namespace velmira
