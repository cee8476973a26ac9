#include "event_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "own_links.h"

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
  file_.reset();
  path_ = path;
  WalkedPath walked = walk_own_links(path);
  switch (walked.walk) {
    case LinkWalk::kFollowed:
      break;
    case LinkWalk::kForeignLink:
      errno = EACCES;
      return false;
    case LinkWalk::kBroken:
      errno = ELOOP;
      return false;
    case LinkWalk::kUnreachable:
      errno = walked.error;
      return false;
  }
  // A link that appeared at the name since the walk is not followed; only the kernel's own
  // links (standard output to a pipe) are opened through.
  int no_follow = walked.kernel_object ? 0 : O_NOFOLLOW;
  int fd = openat(walked.dir.get(), walked.name.c_str(),
                  O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | no_follow, 0666);
  if (fd < 0) return false;
  file_.reset(fdopen(fd, "a"));
  if (!file_) {
    int saved = errno;
    close(fd);
    errno = saved;
  }
  return file_ != nullptr;
}

void EventLog::write(const std::string& tag, const std::string& text) {
  if (!file_) return;
  std::string line = format_log_line(clock_(), tag, text);
  bool written = std::fwrite(line.data(), 1, line.size(), file_.get()) == line.size();
  if (std::fflush(file_.get()) != 0) written = false;
  if (!written && write_error_ == 0) write_error_ = errno != 0 ? errno : EIO;
}

}  // namespace zanrex
