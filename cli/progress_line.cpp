#include "cli/progress_line.h"

#include <unistd.h>

#include <chrono>

namespace velmira::cli {
namespace {

double SteadySeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// A terminal is redrawn at most this often: a scan reports thousands of times.
constexpr double kTerminalInterval = 0.2;

}  // namespace

ProgressLine::ProgressLine(std::FILE* out, Mode mode, double interval, Clock clock)
    : m_out(out),
      m_mode(mode),
      m_interval(interval),
      m_clock(clock ? std::move(clock) : Clock(SteadySeconds)) {
  m_start = m_clock();
}

ProgressLine::Mode ProgressLine::StderrMode(bool quiet) {
  if (quiet) return Mode::kQuiet;
  return ::isatty(STDERR_FILENO) == 1 ? Mode::kTerminal : Mode::kLog;
}

double ProgressLine::Elapsed() const {
  return m_clock() - m_start;
}

void ProgressLine::Show(const std::string& text) {
  if (m_mode == Mode::kQuiet || m_out == nullptr) return;
  const double now = m_clock();
  const double wait = m_mode == Mode::kTerminal ? kTerminalInterval : m_interval;
  if (m_last >= 0 && now - m_last < wait) {
    if (m_mode == Mode::kLog) m_unwritten = text;
    return;
  }
  m_last = now;
  m_unwritten.clear();
  if (m_mode == Mode::kTerminal) {
    std::string shown = text;
    if (shown.size() < m_width) shown += std::string(m_width - shown.size(), ' ');
    m_width = text.size();
    std::fprintf(m_out, "\r%s", shown.c_str());
  } else {
    std::fprintf(m_out, "%s\n", text.c_str());
  }
  std::fflush(m_out);
  ++m_lines;
}

void ProgressLine::End() {
  if (m_mode == Mode::kTerminal && m_lines != 0 && m_width != 0) {
    std::fprintf(m_out, "\r%s\r", std::string(m_width, ' ').c_str());
    std::fflush(m_out);
  }
  if (m_mode == Mode::kLog && !m_unwritten.empty()) {
    std::fprintf(m_out, "%s\n", m_unwritten.c_str());
    std::fflush(m_out);
    ++m_lines;
    m_unwritten.clear();
  }
  m_width = 0;
  m_last = -1;
}

std::string RateText(uint64_t done, uint64_t total, double seconds) {
  if (seconds < 1 || done == 0) return {};
  const double rate = static_cast<double>(done) / seconds;
  char buf[96];
  std::snprintf(buf, sizeof buf, "%.1f MiB/s", rate / 1048576.0);
  std::string text = buf;
  if (total > done) {
    const auto left = static_cast<uint64_t>(static_cast<double>(total - done) / rate + 0.5);
    if (left >= 3600)
      std::snprintf(buf, sizeof buf, ", %llu h %llu min left", static_cast<unsigned long long>(left / 3600),
                    static_cast<unsigned long long>(left % 3600 / 60));
    else if (left >= 60)
      std::snprintf(buf, sizeof buf, ", %llu min %llu s left", static_cast<unsigned long long>(left / 60),
                    static_cast<unsigned long long>(left % 60));
    else
      std::snprintf(buf, sizeof buf, ", %llu s left", static_cast<unsigned long long>(left));
    text += buf;
  }
  return text;
}

}  // namespace velmira::cli
