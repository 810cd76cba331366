// The installed program: where it finds its data folder, and the Debian
// package — built with cpack, unpacked into a temporary root with dpkg -x,
// and run from there.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "platform/folders.h"
#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

namespace fs = std::filesystem;
using testing::ShellQuote;

TEST(ProgramFolder, BesideTheProgramThenSharedDataThenConfiguredPrefix) {
  testing::TempDir dir;
  const std::string bin = dir.File("usr/bin");
  fs::create_directories(bin);
  EXPECT_EQ(ProgramFolderFor(bin, "/configured/share/velmira"), "/configured/share/velmira");

  // An unpacked package or an install under another prefix: ../share/velmira.
  fs::create_directories(dir.File("usr/share/velmira/Languages"));
  EXPECT_EQ(ProgramFolderFor(bin, "/configured/share/velmira"), dir.File("usr/share/velmira"));
  // A folder without Languages/ is not the data folder.
  fs::create_directories(dir.File("usr/share/other/Languages"));
  fs::remove(dir.File("usr/share/velmira/Languages"));
  EXPECT_EQ(ProgramFolderFor(bin, "/configured/share/velmira"), "/configured/share/velmira");

  // A build tree or a portable copy keeps Languages/ beside the program.
  fs::create_directories(dir.File("usr/share/velmira/Languages"));
  fs::create_directories(bin + "/Languages");
  EXPECT_EQ(ProgramFolderFor(bin, "/configured/share/velmira"), bin);
  EXPECT_EQ(ProgramFolderFor("", "/configured/share/velmira"), "/configured/share/velmira");
}

std::string Shell(const std::string& command, int& status) {
  return testing::RunCapture(command + " 2>&1", status);
}

// Builds the package of this build folder, unpacks it into a temporary
// root and checks what it holds and that the unpacked program works. One
// test, because making the package takes several seconds.
TEST(DebianPackage, BuildsUnpacksAndRunsFromATemporaryRoot) {
  if (VELMIRA_TEST_SANITIZE) GTEST_SKIP() << "no package is made from a sanitizer build";
  VELMIRA_REQUIRE_TOOL("dpkg-deb");
  VELMIRA_REQUIRE_TOOL("mcopy");
  testing::TempDir pkg;
  int status = 0;
  const std::string log = Shell(ShellQuote(VELMIRA_CPACK_COMMAND) + " -G DEB --config " +
                                    ShellQuote(VELMIRA_CPACK_CONFIG) + " -B " + ShellQuote(pkg.File("out")),
                                status);
  ASSERT_EQ(status, 0) << log;
  std::string deb;
  for (const auto& entry : fs::directory_iterator(pkg.File("out")))
    if (entry.path().extension() == ".deb") deb = entry.path().string();
  ASSERT_FALSE(deb.empty()) << log;
  ASSERT_TRUE(testing::RunQuiet("dpkg -x " + ShellQuote(deb) + " " + ShellQuote(pkg.File("root"))));
  auto Root = [&](const std::string& rel) { return pkg.File("root/" + rel); };

  const std::string depends = Shell("dpkg-deb -f " + ShellQuote(deb) + " Depends", status);
  for (const char* lib : {"libblkid1", "libmount1", "libc6", "libstdc++6"})
    EXPECT_NE(depends.find(lib), std::string::npos) << depends;
  if (VELMIRA_PACKAGE_HAS_GUI) {
    for (const char* lib : {"libqt6widgets6", "libqt6gui6", "libqt6core6", "libqt6svg6", "libudev1"})
      EXPECT_NE(depends.find(lib), std::string::npos) << depends;
  }
  EXPECT_EQ(Shell("dpkg-deb -f " + ShellQuote(deb) + " Package", status), "velmira\n");
  EXPECT_NE(Shell("dpkg-deb -f " + ShellQuote(deb) + " Description", status).find("recover deleted files"),
            std::string::npos);

  // Everything under /usr, nothing of the build or the tests.
  const std::string listing = Shell("dpkg-deb -c " + ShellQuote(deb), status);
  std::istringstream lines(listing);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_NE(line.find(" ./usr"), std::string::npos) << line;
    EXPECT_EQ(line.find("test"), std::string::npos) << line;
  }
  std::vector<std::string> files = {"usr/bin/velmira-cli", "usr/share/man/man1/velmira-cli.1.gz",
                                    "usr/share/bash-completion/completions/velmira-cli",
                                    "usr/share/doc/velmira/README.md"};
  if (VELMIRA_PACKAGE_HAS_GUI) {
    for (const char* f :
         {"usr/bin/velmira", "usr/share/man/man1/velmira.1.gz", "usr/share/velmira/config.ini",
          "usr/share/velmira/Languages/English.ini", "usr/share/velmira/Languages/German.ini",
          "usr/share/applications/velmira.desktop", "usr/share/icons/hicolor/scalable/apps/velmira.svg"})
      files.push_back(f);
  }
  for (const std::string& f : files) EXPECT_TRUE(fs::is_regular_file(Root(f))) << f;
  // Stripped, as Debian ships programs.
  EXPECT_EQ(Shell("objdump -h " + ShellQuote(Root("usr/bin/velmira-cli")) + " | grep -c debug_info", status),
            "0\n");

  const std::string cli = ShellQuote(Root("usr/bin/velmira-cli"));
  EXPECT_EQ(Shell(cli + " --version", status), "velmira-cli " VELMIRA_VERSION "\n");
  EXPECT_EQ(status, 0);
  if (VELMIRA_PACKAGE_HAS_GUI) {
    EXPECT_EQ(Shell("ldd " + ShellQuote(Root("usr/bin/velmira")) + " | grep -c 'not found'", status), "0\n");
  }

  // A card with a deleted photo, recovered by the unpacked program.
  testing::TempDir dir;
  const std::string card = dir.File("card.img");
  ASSERT_TRUE(testing::MakeFatImage(card, 32, 40));
  testing::WriteRandomFile(dir.File("photo.jpg"), 30000, 7);
  std::vector<uint8_t> photo = testing::ReadFileBytes(dir.File("photo.jpg"));
  const uint8_t jfif[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00};
  std::copy(std::begin(jfif), std::end(jfif), photo.begin());
  testing::WriteFileBytes(dir.File("photo.jpg"), photo);
  ASSERT_TRUE(testing::Mtools(card, "mcopy", ShellQuote(dir.File("photo.jpg")) + " ::/IMG_0001.JPG"));
  ASSERT_TRUE(testing::Mtools(card, "mdel", "::/IMG_0001.JPG"));
  const std::string recovery =
      Shell("XDG_DATA_HOME=" + ShellQuote(dir.File("data")) + " " + cli + " recover " + ShellQuote(card) +
                " --fast --to " + ShellQuote(dir.File("out")),
            status);
  EXPECT_EQ(status, 0) << recovery;
  EXPECT_EQ(testing::ReadFileBytes(dir.File("out/photo/!mg_0001.jpg")), photo) << recovery;
}

}  // namespace
}  // namespace velmira
