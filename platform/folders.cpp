#include "platform/folders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/errors.h"

namespace fs = std::filesystem;

namespace velmira {
namespace {

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home != '\0') return home;
  if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) return pw->pw_dir;
  return "/tmp";
}

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  // The XDG rules ignore relative paths.
  if (v != nullptr && v[0] == '/') return v;
  return fallback;
}

int32_t FromErrorCode(const std::error_code& ec) {
  return ec ? ErrorFromErrno(ec.value()) : kOk;
}

}  // namespace

std::string AppDataFolder() {
  return EnvOr("XDG_DATA_HOME", HomeFolder() + "/.local/share");
}

std::string CompanyDataFolder() {
  return AppDataFolder() + "/Orvanta";
}

std::string UserConfigFolder() {
  return EnvOr("XDG_CONFIG_HOME", HomeFolder() + "/.config") + "/Orvanta";
}

std::string ProgramFolderFor(const std::string& exeFolder, const std::string& installedFolder) {
  std::error_code ec;
  if (!exeFolder.empty()) {
    const fs::path dir(exeFolder);
    if (fs::is_directory(dir / "Languages", ec)) return dir.string();
    const fs::path shared = dir.parent_path() / "share" / "velmira";
    if (fs::is_directory(shared / "Languages", ec)) return shared.lexically_normal().string();
  }
  return installedFolder;
}

std::string ProgramFolder() {
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return ProgramFolderFor(ec ? std::string() : exe.parent_path().string(), VELMIRA_INSTALL_DATADIR);
}

int32_t CreateFolderWithParents(const std::string& path) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) return kOk;
  fs::create_directories(path, ec);
  if (ec) return fs::exists(path) && !fs::is_directory(path) ? kErrAlreadyExists : FromErrorCode(ec);
  return kOk;
}

int32_t RemoveFolderTree(const std::string& path) {
  std::error_code ec;
  // remove_all removes symbolic links themselves, never what they point to.
  fs::remove_all(path, ec);
  return FromErrorCode(ec);
}

}  // namespace velmira
