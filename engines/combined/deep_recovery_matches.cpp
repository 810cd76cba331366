// Collecting the files of all the engines of a deep scan. The carver finds
// again many files the other engines found with their names; a carved file
// that starts where such a file's data starts, with the same extension, is
// left out (a carved jpg at the start of a camera's .thm thumbnail too).
#include <algorithm>
#include <set>
#include <utility>

#include "engines/combined/deep_recovery.h"
#include "platform/errors.h"
#include "platform/text.h"
#include "results/extension_lists.h"
#include "results/scan_log.h"

namespace velmira {
namespace {

// The lower-case extension; the long spellings of a type the carver names
// by its short one count as that one (a carved 12.jpg repeats a.jpeg).
std::string Normalised(std::string_view extension) {
  std::string ext = AsciiLower(extension);
  if (ext == "jpeg") return "jpg";
  if (ext == "tiff") return "tif";
  return ext;
}

std::string ExtensionOf(const FoundRecord& record) {
  return Normalised(velmira::ExtensionOf(RecordName(record)));
}

// A sector counted in `recordUnit`-byte sectors, in `sweepUnit`-byte ones.
bool InSweepSectors(uint64_t& sector, uint32_t recordUnit, uint32_t sweepUnit) {
  if (sweepUnit == 0) return false;
  const unsigned __int128 converted = static_cast<unsigned __int128>(sector) * recordUnit / sweepUnit;
  if (converted > UINT64_MAX) return false;
  sector = static_cast<uint64_t>(converted);
  return true;
}

}  // namespace

bool CDeepRecovery::FirstDataSector(const FoundRecord& record, uint64_t& sector) {
  if (record.isFolder != 0) return false;
  CSweepParticipant* participant = ParticipantOfTag(record.engineTag, true);
  // A fast engine counts in its volume's own sectors, the sweep in the source's.
  const uint32_t unit = IsFastEngineTag(record.engineTag) ? FastExtentUnit() : m_sectorSize;
  return participant != nullptr && participant->FirstDataSector(record, unit, sector) &&
         InSweepSectors(sector, unit, m_sectorSize);
}

void CDeepRecovery::DropSweptRepeats(std::vector<FoundRecord>& named) const {
  // A participant's sweep may reach the deleted folders the fast pass listed
  // with their path again, as lost folders: a file of it whose data starts
  // where a fast file's data starts, with the same size, is that file.
  std::vector<std::pair<uint64_t, uint64_t>> fast;
  for (const FoundRecord& r : named) {
    CSweepParticipant* participant =
        IsFastEngineTag(r.engineTag) ? ParticipantOfTag(r.engineTag, true) : nullptr;
    uint64_t sector = 0;
    const uint32_t unit = FastExtentUnit();
    if (participant != nullptr && participant->RefoundStart(r, unit, sector) &&
        InSweepSectors(sector, unit, m_sectorSize))
      fast.emplace_back(sector, uint64_t{r.size});  // a copy: packed
  }
  if (fast.empty()) return;
  std::sort(fast.begin(), fast.end());
  std::erase_if(named, [&](const FoundRecord& r) {
    CSweepParticipant* participant = ParticipantOfTag(r.engineTag, false);
    uint64_t sector = 0;
    return participant != nullptr && participant->RefoundStart(r, m_sectorSize, sector) &&
           std::binary_search(fast.begin(), fast.end(), std::make_pair(sector, uint64_t{r.size}));
  });
}

bool CDeepRecovery::CarvedRepeats(std::string_view namedExtension, std::string_view carvedExtension) {
  const std::string named = Normalised(namedExtension);
  const std::string carved = Normalised(carvedExtension);
  return !named.empty() && (named == carved || (named == "thm" && carved == "jpg"));
}

int32_t CDeepRecovery::CollectMatches(const std::string& patterns, std::vector<FoundRecord>& matches) {
  matches.clear();
  std::vector<FoundRecord> named;
  std::vector<FoundRecord> part;
  auto collect = [&](IFileRecoveryParse* engine, std::vector<FoundRecord>& into) -> int32_t {
    part.clear();
    if (engine == nullptr) return kOk;
    const int32_t result = engine->CollectMatches(patterns, part);
    StampSourceKey(part);
    // Moved when it is the first part: a copy of every record costs 346 bytes each.
    if (into.empty())
      into.swap(part);
    else
      into.insert(into.end(), part.begin(), part.end());
    // A log that cannot be read or was not written whole fails the whole
    // collection: a fraction of the files is never passed off as all.
    return result;
  };
  int32_t result = collect(m_fast.get(), named);
  for (const SweepMember& member : m_members)
    if (result == kOk) result = collect(&member.participant->Engine(), named);
  // The carved files straight from the carver's log: no sorted copy of
  // them all before they are merged and sorted with the others.
  std::vector<FoundRecord> carved;
  if (result == kOk) {
    result = m_carver.VisitMatches(patterns, [&](const FoundRecord& r) {
      carved.push_back(r);
      carved.back().sourceKey = m_sourceKey;
      return 0;
    });
  }
  DropSweptRepeats(named);

  // First data sector -> extension of the named files whose extension a
  // carved file could repeat. Only those are looked up: an NTFS file's first
  // sector costs a read of its file record.
  // A set of the few extensions the table names, not one entry per carved file.
  std::set<std::string> carvedExtensions;
  for (const FoundRecord& r : carved) carvedExtensions.insert(ExtensionOf(r));
  auto mayRepeat = [&](const std::string& ext) {
    return carvedExtensions.count(ext) != 0 || (ext == "thm" && carvedExtensions.count("jpg") != 0);
  };
  std::vector<std::pair<uint64_t, std::string>> starts;
  for (const FoundRecord& r : named) {
    if (carved.empty()) break;
    if (r.isFolder != 0) continue;
    std::string ext = ExtensionOf(r);
    if (!mayRepeat(ext)) continue;
    uint64_t sector = 0;
    if (FirstDataSector(r, sector)) starts.emplace_back(sector, std::move(ext));
  }
  std::sort(starts.begin(), starts.end());

  matches = std::move(named);
  matches.reserve(matches.size() + carved.size());
  for (const FoundRecord& r : carved) {
    const std::string ext = ExtensionOf(r);
    const uint64_t sector = r.entrySector;
    auto it = std::lower_bound(starts.begin(), starts.end(), std::make_pair(sector, std::string()));
    bool repeated = false;
    for (; it != starts.end() && it->first == sector && !repeated; ++it)
      repeated = CarvedRepeats(it->second, ext);
    if (!repeated) matches.push_back(r);
  }
  carved = {};
  SortFoundRecords(matches);
  return result;
}

}  // namespace velmira
