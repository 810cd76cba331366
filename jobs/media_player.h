// The external players a preview hands sound and video to. Which programs
// they are comes from config.ini, section "Players": "Video" and "Audio" name
// the programs, "VideoArgs" and "AudioArgs" the arguments put before the
// file. Every player started here is remembered (platform/child_processes.h)
// so that the next preview and the end of the program stop exactly those.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace velmira {

struct PlayerCommand {
  std::string program;                 // a name looked up in PATH, or a path
  std::vector<std::string> arguments;  // put before the file's path
};

struct PlayerSettings {
  PlayerCommand video;
  PlayerCommand audio;
};

// The default video player prints a line with the played percent once
// playback has started (also when its output is not a terminal).
inline constexpr const char* kDefaultVideoPlayer = "mpv";
inline constexpr const char* kDefaultVideoArgs =
    "--force-window=yes --term-playing-msg=Playing_(${percent-pos}%)";
inline constexpr const char* kDefaultAudioPlayer = "xdg-open";

// The players named in the settings file at `configPath`; defaults for
// missing keys or a file that cannot be read.
[[nodiscard]] PlayerSettings ReadPlayerSettings(const std::string& configPath);

// Splits an argument text at blanks; double quotes group a part with blanks.
[[nodiscard]] std::vector<std::string> SplitArguments(std::string_view text);

// One player process for one file. With `watchOutput`, its standard output
// and error go to a pipe that a thread of this object reads: as soon as a
// "%" appears the player counts as playing. Without it, the output is
// discarded. Either way the thread reaps the process when it ends.
class PlayerWatch {
 public:
  // Called once on the watching thread: true when a "%" was read, false when
  // the player ended (or could not be started) without one. Not called for a
  // watch without output watching, nor after Stop.
  using Verdict = std::function<void(bool playing)>;

  PlayerWatch(const PlayerCommand& command, const std::string& file, bool watchOutput, Verdict verdict);
  // Stops the player if it still runs and waits for the thread.
  ~PlayerWatch();
  PlayerWatch(const PlayerWatch&) = delete;
  PlayerWatch& operator=(const PlayerWatch&) = delete;

  // 0 when the process was started, else the Win32 code of the failure.
  [[nodiscard]] int32_t StartError() const { return m_startError; }
  [[nodiscard]] pid_t Pid() const { return m_pid; }
  // Whether the process has ended (and was reaped).
  [[nodiscard]] bool Ended() const { return m_ended.load(); }

 private:
  void Watch(int fd);

  pid_t m_pid = -1;
  int32_t m_startError = 0;
  bool m_watchOutput;
  Verdict m_verdict;
  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_ended{false};
  std::thread m_thread;
};

}  // namespace velmira
