#include "engines/engine_factory.h"

#include <algorithm>
#include <vector>

#include "engines/boot_sector_read.h"
#include "engines/combined/deep_recovery.h"
#include "platform/drives.h"
#include "platform/errors.h"
#include "results/scan_log_registry.h"

namespace velmira {

int32_t ProbeTarget(const PartitionLocator& target, TargetProbe& probe) {
  probe = TargetProbe{};
  FileHandle handle;
  uint64_t headOffset = 0;
  if (target.IsImage()) {
    int32_t err = OpenReadOnly(target.imagePath, handle);
    if (err != kOk) return err;
    DriveGeometry geometry;
    if (QueryDriveGeometry(handle, geometry) == kOk) probe.bytesPerSector = geometry.bytesPerSector;
  } else {
    std::string path;
    int32_t err = DiskDevicePath(target.diskNumber, path);
    if (err != kOk) return err;
    err = OpenReadOnly(path, handle);
    if (err != kOk) return err;
    FlushVolume(target.sourceKey);
    DriveGeometry geometry;
    if (QueryDriveGeometry(handle, geometry) == kOk) probe.bytesPerSector = geometry.bytesPerSector;
    if (target.startSector > UINT64_MAX / probe.bytesPerSector) return kErrInvalidParameter;
    headOffset = target.startSector * probe.bytesPerSector;
  }
  if (int32_t err = HandleLength(handle, probe.sourceBytes); err != kOk) return err;
  if (probe.bytesPerSector == 0 || headOffset > probe.sourceBytes ||
      probe.sourceBytes - headOffset < kProbeBytes)
    return kErrReadFault;  // too small to hold a volume

  // Read sector by sector: a bad sector in the head costs that sector, and
  // the volume may still be told by what is left or by a backup boot sector.
  SectorSource source;
  source.handle = std::move(handle);
  source.sectorCount = probe.sourceBytes / probe.bytesPerSector;
  const uint64_t headSector = headOffset / probe.bytesPerSector;
  const uint32_t headSectors = std::max<uint32_t>(1, kProbeBytes / probe.bytesPerSector);
  std::vector<uint8_t> head(size_t{headSectors} * probe.bytesPerSector);
  probe.unreadableHeadSectors =
      ReadSectorsEach(source, headSector, headSectors, probe.bytesPerSector, head.data());
  probe.headSectors = headSectors;
  HeadClassification classified = ClassifyHead(ByteView(head.data(), head.size()));
  probe.kind = classified.kind;
  probe.accepted = std::move(classified.accepted);
  if (probe.kind == FileSystemKind::kOther && probe.unreadableHeadSectors != 0) {
    std::vector<uint8_t> boot;
    uint64_t from = 0;
    if (ReadVolumeBootSector(source, headSector, target.IsImage() ? 0 : target.sectorCount,
                             probe.bytesPerSector, 512, boot, from)) {
      classified = ClassifyHead(ByteView(boot.data(), boot.size()));
      probe.kind = classified.kind;
      probe.accepted = std::move(classified.accepted);
      probe.bootSector = from;
    }
  }
  return kOk;
}

std::unique_ptr<IFileRecoveryParse> NewEngineFor(FileSystemKind kind, bool deep) {
  if (const FileSystemRow* row = FileSystemRowOf(kind))
    return deep ? row->newDeepEngine() : row->newFastEngine();
  // Sweeps what no file system describes; deep scans are recorded in the
  // process's registry, which the front ends own.
  if (deep) return std::make_unique<CDeepRecovery>(CScanLogRegistry::Instance());
  return nullptr;
}

std::string FileSystemText(const TargetProbe& probe) {
  return FileSystemText(HeadClassification{probe.kind, probe.accepted});
}

std::unique_ptr<IFileRecoveryParse> CreateEngineForPartition(int32_t diskNumber, uint64_t startSector,
                                                             uint64_t sectorCount, uint16_t sourceKey,
                                                             bool deep) {
  TargetProbe probe;
  if (ProbeTarget(PartitionTarget(diskNumber, startSector, sectorCount, sourceKey), probe) != kOk)
    return nullptr;
  auto engine = NewEngineFor(probe.kind, deep);
  // An engine whose open failed is still handed out: its Scan says why.
  if (engine) (void)engine->OpenPartition(diskNumber, startSector, sectorCount, sourceKey);
  return engine;
}

std::unique_ptr<IFileRecoveryParse> CreateEngineForImage(const std::string& imagePath, uint16_t imageValue,
                                                         bool deep) {
  TargetProbe probe;
  if (ProbeTarget(ImageTarget(imagePath, imageValue), probe) != kOk) return nullptr;
  auto engine = NewEngineFor(probe.kind, deep);
  if (engine) (void)engine->OpenImage(imagePath, imageValue);  // as above: its Scan says why
  return engine;
}

}  // namespace velmira
