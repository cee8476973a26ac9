#include "own_links.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <deque>

namespace zanrex {

namespace {

// As many links as the kernel follows before it gives up.
constexpr int kMaxHops = 40;

using Components = std::deque<std::string>;

// The names of `path` to walk in order; "." and empty ones left out.
Components components_of(const std::string& path) {
  Components names;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string name = path.substr(start, end - start);
    if (!name.empty() && name != ".") names.push_back(name);
    start = end + 1;
  }
  return names;
}

std::string joined(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

// The text of the link open at `link` (an O_PATH descriptor); false when it cannot be read.
bool read_link(int link, size_t size_hint, std::string& text) {
  text.assign(size_hint > 0 ? size_hint + 1 : 256, '\0');
  for (;;) {
    ssize_t n = readlinkat(link, "", &text[0], text.size());
    if (n < 0) return false;
    if (static_cast<size_t>(n) < text.size()) {
      text.resize(static_cast<size_t>(n));
      return true;
    }
    text.resize(text.size() * 2);
  }
}

bool in_procfs(int dir) {
  struct statfs fs;
  return fstatfs(dir, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
}

bool may_follow(const struct stat& link) {
  return link.st_uid == geteuid() || link.st_uid == 0;
}

// The walk's position: the directory reached and how it is shown.
struct Position {
  Fd dir;
  std::string shown;
};

Position start_at(bool absolute) {
  Position at;
  at.dir.reset(open(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  at.shown = absolute ? "/" : "";
  return at;
}

WalkedPath ended(LinkWalk walk, Position& at, const std::string& name) {
  WalkedPath result;
  result.walk = walk;
  result.error = errno;
  result.target = joined(at.shown, name);
  result.name = name;
  result.dir = std::move(at.dir);
  return result;
}

}  // namespace

std::string parent_dir(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

WalkedPath walk_own_links(const std::string& path) {
  if (path.empty()) {
    errno = ENOENT;
    Position none;
    return ended(LinkWalk::kUnreachable, none, path);
  }
  Position at = start_at(path[0] == '/');
  if (!at.dir) return ended(LinkWalk::kUnreachable, at, ".");
  Components todo = components_of(path);
  if (todo.empty() || todo.back() == "..") todo.push_back(".");
  for (int hops = 0; !todo.empty();) {
    const std::string name = todo.front();
    todo.pop_front();
    const bool last = todo.empty();
    Fd next(openat(at.dir.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!next || fstat(next.get(), &st) != 0) {
      if (last && errno == ENOENT) return ended(LinkWalk::kFollowed, at, name);
      return ended(LinkWalk::kUnreachable, at, name);
    }
    if (!S_ISLNK(st.st_mode)) {
      if (last) return ended(LinkWalk::kFollowed, at, name);
      at.dir = std::move(next);
      at.shown = joined(at.shown, name);
      continue;
    }
    if (!may_follow(st)) return ended(LinkWalk::kForeignLink, at, name);
    std::string text;
    if (++hops > kMaxHops || !read_link(next.get(), static_cast<size_t>(st.st_size), text)) {
      return ended(LinkWalk::kBroken, at, name);
    }
    if (last && (text.empty() || text[0] != '/') && in_procfs(at.dir.get())) {
      WalkedPath object = ended(LinkWalk::kFollowed, at, name);
      object.kernel_object = true;
      return object;
    }
    Components more = components_of(text);
    todo.insert(todo.begin(), more.begin(), more.end());
    if (todo.empty() || todo.back() == "..") todo.push_back(".");
    if (!text.empty() && text[0] == '/') at = start_at(true);
    if (!at.dir) return ended(LinkWalk::kUnreachable, at, ".");
  }
  return ended(LinkWalk::kFollowed, at, ".");  // not reached: the last name ends the walk
}

}  // namespace zanrex
