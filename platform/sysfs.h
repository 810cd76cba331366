// Reading the kernel's one-line files under /sys: numbers, device numbers
// and paths that describe block devices.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>

namespace velmira {

// The first line of a sysfs file, without its newline; empty when it cannot
// be read.
[[nodiscard]] std::string ReadSysLine(const std::filesystem::path& path);

// A decimal number alone on the first line; false for anything else.
[[nodiscard]] bool ReadSysNumber(const std::filesystem::path& path, uint64_t& value);

// "MAJ:MIN", as sysfs writes a device number; false for anything else.
[[nodiscard]] bool ParseSysDevice(const std::string& text, dev_t& device);
[[nodiscard]] inline bool ReadSysDevice(const std::filesystem::path& path, dev_t& device) {
  return ParseSysDevice(ReadSysLine(path), device);
}

}  // namespace velmira
