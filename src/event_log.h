// The event log: one time-stamped, tagged line per event, appended and flushed.
#pragma once

#include <cstdio>
#include <ctime>
#include <functional>
#include <string>

#include "fd.h"

namespace zanrex {

// Level tags, eleven characters each; the line shows them inside a second pair of brackets.
constexpr const char kTagInfo[] = "[INFO]     ";
constexpr const char kTagWarning[] = "[WARNING]  ";
constexpr const char kTagError[] = "[ERROR]    ";

// The "%s [%s] %s\n" line for one event at time `now`: ctime text without its line end.
std::string format_log_line(std::time_t now, const std::string& tag, const std::string& text);

// `text` with control characters shown as '?': for values from outside (a report, a tool) that
// go into a log line, so that they cannot forge lines of their own.
std::string printable(const std::string& text);

class EventLog {
 public:
  // Opens `path` for appending (created when missing). A symbolic link anywhere on the path
  // is followed only when the effective user or root owns it; through another user's link
  // nothing is opened and errno is EACCES. On failure returns false and leaves errno set.
  bool open(const std::string& path);
  bool is_open() const { return file_ != nullptr; }
  const std::string& path() const { return path_; }

  // Appends one event; does nothing while the log is not open. A failed write does not stop
  // the run: the first one's errno is kept for write_error().
  void write(const std::string& tag, const std::string& text);
  // The errno of the first write that failed, 0 when every line reached the file.
  int write_error() const { return write_error_; }
  void info(const std::string& text) { write(kTagInfo, text); }
  void warning(const std::string& text) { write(kTagWarning, text); }
  void error(const std::string& text) { write(kTagError, text); }

  // Tests fix the clock.
  void set_clock(std::function<std::time_t()> clock) { clock_ = std::move(clock); }

 private:
  FilePtr file_;
  std::string path_;
  int write_error_ = 0;
  std::function<std::time_t()> clock_ = [] { return std::time(nullptr); };
};

}  // namespace zanrex
