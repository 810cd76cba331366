#include <gtest/gtest.h>

#include <filesystem>

#include "tests/fixtures/carving_samples.h"
#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

using testing::ShellQuote;

TEST(CliCarve, CarvesARawMediumIntoCategoryFolders) {
  testing::TempDir dir;
  const testing::Bytes gif = testing::SampleOfType(kTypeGif);
  const testing::Bytes wav = testing::SampleOfType(kTypeWav);
  testing::ImageBuilder image;
  image.Put(3, gif).Put(40, wav).Size(200);
  testing::WriteFileBytes(dir.File("raw.img"), image.bytes());
  const std::string env = "XDG_DATA_HOME=" + ShellQuote(dir.File("data")) + " ";
  int status = -1;
  std::string out = testing::RunCapture(env + ShellQuote(VELMIRA_CLI_PATH) + " carve " +
                                            ShellQuote(dir.File("raw.img")) + " --list 2>/dev/null",
                                        status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(out.find("3.gif"), std::string::npos) << out;
  EXPECT_NE(out.find("40.wav"), std::string::npos) << out;
  EXPECT_FALSE(std::filesystem::exists(dir.File("out")));

  out = testing::RunCapture(env + ShellQuote(VELMIRA_CLI_PATH) + " carve " + ShellQuote(dir.File("raw.img")) +
                                " --to " + ShellQuote(dir.File("out")) + " --types gif 2>/dev/null",
                            status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_TRUE(std::filesystem::exists(dir.File("out/photo/3.gif")));
  EXPECT_FALSE(std::filesystem::exists(dir.File("out/audio/40.wav"))) << "--types gif";

  testing::RunCapture(ShellQuote(VELMIRA_CLI_PATH) + " carve 2>/dev/null", status);
  EXPECT_EQ(status, 1);
  testing::RunCapture(
      ShellQuote(VELMIRA_CLI_PATH) + " carve " + ShellQuote(dir.File("none.img")) + " --list 2>/dev/null",
      status);
  EXPECT_EQ(status, 2);
}

}  // namespace
}  // namespace velmira
