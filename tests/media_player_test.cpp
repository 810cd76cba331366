#include "jobs/media_player.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "jobs/preview_job.h"
#include "jobs/recovery_destination.h"
#include "platform/errors.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

std::string Script(const testing::TempDir& dir, const std::string& name, const std::string& body) {
  const std::string path = dir.File(name);
  std::ofstream(path) << "#!/bin/sh\n" << body;
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  return path;
}

// Waits up to five seconds for a condition.
template <typename F>
bool Eventually(F condition) {
  for (int i = 0; i < 500; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

TEST(PlayerSettings, DefaultsAndOverrides) {
  testing::TempDir dir;
  PlayerSettings none = ReadPlayerSettings(dir.File("missing.ini"));
  EXPECT_EQ(none.video.program, "mpv");
  EXPECT_EQ(none.audio.program, "xdg-open");
  EXPECT_TRUE(none.audio.arguments.empty());
  ASSERT_FALSE(none.video.arguments.empty());
  EXPECT_NE(none.video.arguments.back().find('%'), std::string::npos) << "the status line shows a percent";

  std::ofstream(dir.File("config.ini"))
      << "[Players]\nVideo=/opt/vlc/bin/player\nVideoArgs=--one \"two words\"  three\n"
         "Audio=\nAudioArgs=-q\n";
  PlayerSettings set = ReadPlayerSettings(dir.File("config.ini"));
  EXPECT_EQ(set.video.program, "/opt/vlc/bin/player");
  EXPECT_EQ(set.video.arguments, (std::vector<std::string>{"--one", "two words", "three"}));
  EXPECT_EQ(set.audio.program, "xdg-open") << "an empty name keeps the default";
  EXPECT_EQ(set.audio.arguments, (std::vector<std::string>{"-q"}));
  EXPECT_EQ(SplitArguments("  \"\"  a\tb "), (std::vector<std::string>{"", "a", "b"}));
}

TEST(PlayerWatch, APercentMeansPlayingAndTheFileIsTheLastArgument) {
  testing::TempDir dir;
  const std::string player = Script(dir, "p.sh",
                                    "echo \"$1|$2\" > \"$(dirname \"$0\")/args\"\n"
                                    "echo 'frame 1'\necho 'A: 00:01 (3%)'\nexec sleep 30\n");
  std::atomic<int> verdicts{0};
  std::atomic<bool> playing{false};
  {
    PlayerWatch watch({player, {"--flag"}}, dir.File("my clip.avi"), true, [&](bool p) {
      playing = p;
      ++verdicts;
    });
    ASSERT_EQ(watch.StartError(), kOk);
    ASSERT_TRUE(Eventually([&] { return verdicts.load() == 1; }));
    EXPECT_TRUE(playing.load());
    EXPECT_FALSE(watch.Ended()) << "the player keeps running";
    std::string args;
    std::getline(std::ifstream(dir.File("args")), args);
    EXPECT_EQ(args, "--flag|" + dir.File("my clip.avi"));
  }  // ends the player and waits for it
  EXPECT_EQ(verdicts.load(), 1);
}

TEST(PlayerWatch, SilentMissingAndStoppedPlayers) {
  testing::TempDir dir;
  std::atomic<int> verdicts{0};
  std::atomic<bool> playing{true};
  auto record = [&](bool p) {
    playing = p;
    ++verdicts;
  };
  {
    PlayerWatch silent({Script(dir, "s.sh", "echo no progress here\nexit 3\n"), {}}, "x", true, record);
    ASSERT_TRUE(Eventually([&] { return verdicts.load() == 1; }));
    EXPECT_FALSE(playing.load());
    EXPECT_TRUE(Eventually([&] { return silent.Ended(); }));
  }
  {
    PlayerWatch missing({dir.File("no-such-player"), {}}, "x", true, record);
    EXPECT_NE(missing.StartError(), kOk);
    ASSERT_TRUE(Eventually([&] { return verdicts.load() == 2; }));
    EXPECT_FALSE(playing.load()) << "a player that cannot start never reports progress";
  }
  // A player stopped before it printed anything gets no verdict, and a
  // player that ignores SIGTERM is still ended.
  pid_t pid = -1;
  {
    PlayerWatch stubborn({Script(dir, "t.sh", "trap '' TERM\nwhile :; do sleep 1; done\n"), {}}, "x", true,
                         record);
    pid = stubborn.Pid();
    ASSERT_GT(pid, 0);
  }
  EXPECT_EQ(verdicts.load(), 2);
  EXPECT_NE(::kill(pid, 0), 0) << "the process was ended and reaped";
  // Without output watching there is no verdict, but the process is reaped.
  {
    PlayerWatch quiet({Script(dir, "q.sh", "exit 0\n"), {}}, "x", false, record);
    EXPECT_TRUE(Eventually([&] { return quiet.Ended(); }));
  }
  EXPECT_EQ(verdicts.load(), 2);
}

TEST(PreviewJob, WithoutAnEngineNothingIsExtracted) {
  FoundRecord r = MakeFoundRecord();
  SetRecordName(r, "a.jpg");
  PreviewState state(r);
  PreviewJob job(state, nullptr, nullptr, 0);
  EXPECT_EQ(job.Run().Code(), kErrInvalidHandle);
  EXPECT_TRUE(job.Done());
  EXPECT_TRUE(state.output.empty());
  EXPECT_EQ(state.byteCount, 0u);
  EXPECT_EQ(state.buffer.size(), kPreviewBufferBytes);
}

TEST(RecoveryDestination, FolderOnAScannedPartition) {
  testing::TempDir dir;
  std::filesystem::create_directories(dir.File("out/deeper"));
  PartitionRecord mounted;
  mounted.mountPoint = dir.path();
  EXPECT_TRUE(DestinationOnPartition(dir.File("out/deeper"), mounted));
  PartitionRecord elsewhere;
  elsewhere.mountPoint = "/proc";
  EXPECT_FALSE(DestinationOnPartition(dir.File("out"), elsewhere));
  PartitionRecord unmounted;  // an image file's partition: no device, no mount
  unmounted.rootPath = dir.File("out");
  EXPECT_FALSE(DestinationOnPartition(dir.File("out"), unmounted));
  EXPECT_FALSE(DestinationOnPartition(dir.File("missing"), mounted));
}

}  // namespace
}  // namespace velmira
