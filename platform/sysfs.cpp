#include "platform/sysfs.h"

#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

namespace velmira {
namespace {

bool AllDigits(const std::string& text, size_t maxDigits) {
  return !text.empty() && text.size() <= maxDigits &&
         text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

std::string ReadSysLine(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::string text;
  std::getline(in, text);
  return text;
}

bool ReadSysNumber(const std::filesystem::path& path, uint64_t& value) {
  const std::string text = ReadSysLine(path);
  if (!AllDigits(text, 20)) return false;
  errno = 0;
  value = std::strtoull(text.c_str(), nullptr, 10);
  return errno == 0;
}

bool ParseSysDevice(const std::string& text, dev_t& device) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  const std::string majorText = text.substr(0, colon);
  const std::string minorText = text.substr(colon + 1);
  if (!AllDigits(majorText, 9) || !AllDigits(minorText, 9)) return false;
  device = makedev(static_cast<unsigned>(std::strtoul(majorText.c_str(), nullptr, 10)),
                   static_cast<unsigned>(std::strtoul(minorText.c_str(), nullptr, 10)));
  return true;
}

}  // namespace velmira
