#include "event_log.h"

#include <cstring>

namespace zanrex {

std::string format_log_line(std::time_t now, const std::string& tag, const std::string& text) {
  char stamp[64] = {0};
  if (!ctime_r(&now, stamp)) stamp[0] = '\0';
  if (char* nl = std::strchr(stamp, '\n')) *nl = '\0';
  std::string line = stamp;
  line += " [";
  line += tag;
  line += "] ";
  line += text;
  line += '\n';
  return line;
}

std::string printable(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) c = '?';
  }
  return out;
}

bool EventLog::open(const std::string& path) {
  file_.reset(std::fopen(path.c_str(), "ae"));
  return file_ != nullptr;
}

void EventLog::write(const std::string& tag, const std::string& text) {
  if (!file_) return;
  std::string line = format_log_line(clock_(), tag, text);
  std::fwrite(line.data(), 1, line.size(), file_.get());
  std::fflush(file_.get());
}

}  // namespace zanrex
