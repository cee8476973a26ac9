#include "own_links.h"

#include <sys/stat.h>
#include <unistd.h>

namespace zanrex {

namespace {

// As many links as the kernel follows before it gives up.
constexpr int kMaxHops = 40;

// The text of the link at `path`; false when it cannot be read.
bool read_link(const std::string& path, size_t size_hint, std::string& text) {
  text.assign(size_hint > 0 ? size_hint + 1 : 256, '\0');
  for (;;) {
    ssize_t n = readlink(path.c_str(), &text[0], text.size());
    if (n < 0) return false;
    if (static_cast<size_t>(n) < text.size()) {
      text.resize(static_cast<size_t>(n));
      return true;
    }
    text.resize(text.size() * 2);
  }
}

bool is_kernel_object_link(const std::string& path, const std::string& text) {
  return path.rfind("/proc/", 0) == 0 && (text.empty() || text[0] != '/');
}

}  // namespace

std::string parent_dir(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

FollowedPath follow_own_links(const std::string& path) {
  FollowedPath result;
  std::string at = path;
  for (int hops = 0; hops <= kMaxHops; ++hops) {
    struct stat st;
    if (lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      result.walk = LinkWalk::kFollowed;
      result.target = at;
      return result;
    }
    if (st.st_uid != geteuid()) {
      result.walk = LinkWalk::kForeignLink;
      result.target = at;
      return result;
    }
    std::string text;
    if (!read_link(at, static_cast<size_t>(st.st_size), text)) return result;
    if (is_kernel_object_link(at, text)) {
      result.walk = LinkWalk::kFollowed;
      result.target = at;
      return result;
    }
    at = (!text.empty() && text[0] == '/') ? text : parent_dir(at) + "/" + text;
  }
  return result;  // a loop
}

}  // namespace zanrex
