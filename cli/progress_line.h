// The progress line of a long command on stderr. On a terminal one line is
// rewritten in place; into a file or a pipe (a log, a service's journal) a
// line is written at most every `interval` seconds, so that an hour's scan
// leaves a few hundred lines rather than a million. Quiet shows nothing.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace velmira::cli {

class ProgressLine {
 public:
  // Seconds on a steady clock; tests pass their own.
  using Clock = std::function<double()>;
  enum class Mode { kTerminal, kLog, kQuiet };

  ProgressLine(std::FILE* out, Mode mode, double interval = 10.0, Clock clock = {});
  // The mode stderr asks for: a terminal or not, unless `quiet`.
  static Mode StderrMode(bool quiet);

  // Offers the current state; it is written when the mode and the time allow.
  void Show(const std::string& text);
  // Ends the line: a terminal's line is cleared, so that what follows starts
  // on a clean line; a log gets the last state offered when it was not written.
  void End();
  // Seconds since the line was made, on its clock.
  [[nodiscard]] double Elapsed() const;
  [[nodiscard]] unsigned LinesWritten() const { return m_lines; }

 private:
  std::FILE* m_out;
  Mode m_mode;
  double m_interval;
  Clock m_clock;
  double m_start = 0;
  double m_last = -1;
  std::string m_unwritten;  // the last text offered to a log and held back
  size_t m_width = 0;
  unsigned m_lines = 0;
};

// The rate and the time left of a job that has done `done` of `total` bytes
// after `seconds`: "12.5 MiB/s, 3 min 20 s left" (parts that cannot be told
// yet are left out).
std::string RateText(uint64_t done, uint64_t total, double seconds);

}  // namespace velmira::cli
