#include "jobs/media_player.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/child_processes.h"
#include "platform/errors.h"
#include "platform/ini_file.h"

extern char** environ;

namespace velmira {
namespace {

constexpr size_t kSettingChars = 1024;
constexpr int kPollMs = 50;
// Polls after the player ended while something it started keeps the pipe
// open: then the watch gives up reading.
constexpr int kRoundsAfterEnd = 20;

PlayerCommand CommandFrom(const IniFile& ini, const char* programKey, const char* argsKey,
                          const char* program, const char* args) {
  PlayerCommand command;
  command.program = ini.GetString("Players", programKey, program, kSettingChars);
  if (command.program.empty()) command.program = program;
  command.arguments = SplitArguments(ini.GetString("Players", argsKey, args, kSettingChars));
  return command;
}

bool Reap(pid_t pid, bool wait) {
  int status = 0;
  for (;;) {
    const pid_t r = ::waitpid(pid, &status, wait ? 0 : WNOHANG);
    if (r == pid) return true;
    if (r < 0 && errno == EINTR) continue;
    return r < 0;  // ECHILD: someone else reaped it; it is gone either way
  }
}

}  // namespace

PlayerSettings ReadPlayerSettings(const std::string& configPath) {
  IniFile ini;
  (void)ini.Load(configPath);  // a missing file gives the defaults
  PlayerSettings settings;
  settings.video = CommandFrom(ini, "Video", "VideoArgs", kDefaultVideoPlayer, kDefaultVideoArgs);
  settings.audio = CommandFrom(ini, "Audio", "AudioArgs", kDefaultAudioPlayer, "");
  return settings;
}

std::vector<std::string> SplitArguments(std::string_view text) {
  std::vector<std::string> parts;
  std::string current;
  bool inPart = false;
  bool quoted = false;
  for (const char c : text) {
    if (c == '"') {
      quoted = !quoted;
      inPart = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (inPart) parts.push_back(current);
      current.clear();
      inPart = false;
    } else {
      current += c;
      inPart = true;
    }
  }
  if (inPart) parts.push_back(current);
  return parts;
}

PlayerWatch::PlayerWatch(const PlayerCommand& command, const std::string& file, bool watchOutput,
                         Verdict verdict)
    : m_watchOutput(watchOutput), m_verdict(std::move(verdict)) {
  int fds[2] = {-1, -1};
  if (m_watchOutput && ::pipe2(fds, O_CLOEXEC) != 0) {
    m_startError = ErrorFromErrno(errno);
  } else {
    std::vector<std::string> args;
    args.push_back(command.program);
    args.insert(args.end(), command.arguments.begin(), command.arguments.end());
    args.push_back(file);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (m_watchOutput) {
      posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
      posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    } else {
      posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
      posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    // A process group of its own: a terminal's Ctrl+C to us does not reach it.
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    pid_t pid = -1;
    const int err = ::posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (fds[1] >= 0) ::close(fds[1]);
    if (err != 0) {
      m_startError = ErrorFromErrno(err);
    } else {
      m_pid = pid;
      RememberChildProcess(pid);
    }
  }
  if (m_startError != kOk) {
    if (fds[0] >= 0) ::close(fds[0]);
    fds[0] = -1;
    m_ended.store(true);
  }
  m_thread = std::thread([this, fd = fds[0]] { Watch(fd); });
}

PlayerWatch::~PlayerWatch() {
  m_stop.store(true);
  if (m_pid > 0 && !m_ended.load()) ::kill(m_pid, SIGTERM);
  if (m_thread.joinable()) m_thread.join();
}

void PlayerWatch::Watch(int fd) {
  if (m_pid <= 0) {
    if (m_watchOutput && m_verdict) m_verdict(false);
    return;
  }
  bool playing = false;
  bool reaped = false;
  int roundsAfterEnd = 0;
  char buffer[4096];
  while (!m_stop.load()) {
    if (fd >= 0) {
      pollfd p{fd, POLLIN, 0};
      const int ready = ::poll(&p, 1, kPollMs);
      if (ready < 0 && errno != EINTR) break;
      if (ready > 0) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno != EINTR && errno != EAGAIN) break;
        if (n == 0) {
          // Every writer has closed the pipe: the player has ended or soon will.
          ::close(fd);
          fd = -1;
          continue;
        }
        // The pipe is drained to its end even after the verdict, so that the
        // player never writes into a closed pipe.
        if (n > 0 && !playing && std::memchr(buffer, '%', static_cast<size_t>(n)) != nullptr) {
          playing = true;
          if (m_verdict) m_verdict(true);
        }
      }
    } else {
      ::usleep(kPollMs * 1000);
    }
    if (!reaped) reaped = Reap(m_pid, false);
    if (reaped && (fd < 0 || ++roundsAfterEnd > kRoundsAfterEnd)) break;
  }
  if (fd >= 0) ::close(fd);
  if (!reaped) {
    // Stopped: give the player a second to leave, then insist.
    for (int i = 0; i < 100 && !reaped; ++i) {
      reaped = Reap(m_pid, false);
      if (!reaped) ::usleep(10 * 1000);
    }
    if (!reaped) {
      ::kill(m_pid, SIGKILL);
      (void)Reap(m_pid, true);  // after SIGKILL the wait only collects the exit
    }
  }
  m_ended.store(true);
  if (!playing && !m_stop.load() && m_watchOutput && m_verdict) m_verdict(false);
}

}  // namespace velmira
