#include "platform/child_processes.h"

#include <signal.h>

#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace velmira {
namespace {

struct Remembered {
  pid_t pid;
  unsigned long long startTime;
};

std::mutex g_mutex;
std::vector<Remembered> g_processes;

// Field 22 of /proc/<pid>/stat (clock ticks after boot); 0 when the process
// is gone. The command name in field 2 may hold blanks and ")", so the
// fields are counted after its last ")".
unsigned long long StartTimeOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(in, text);
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 1));
  std::string field;
  // Fields 3 to 21, then 22.
  for (int i = 3; i <= 21; ++i)
    if (!(fields >> field)) return 0;
  unsigned long long start = 0;
  return fields >> start ? start : 0;
}

}  // namespace

void RememberChildProcess(pid_t pid) {
  if (pid <= 0) return;
  const unsigned long long start = StartTimeOf(pid);
  if (start == 0) return;
  std::lock_guard lock(g_mutex);
  g_processes.push_back({pid, start});
}

size_t EndRememberedProcesses() {
  std::lock_guard lock(g_mutex);
  size_t sent = 0;
  for (const Remembered& p : g_processes) {
    if (StartTimeOf(p.pid) != p.startTime) continue;  // ended, or the id now names another process
    if (::kill(p.pid, SIGTERM) == 0) ++sent;
  }
  g_processes.clear();
  return sent;
}

}  // namespace velmira
