#include "document_save.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "fd.h"
#include "own_links.h"

namespace zanrex {

namespace {

struct XmlFree {
  void operator()(xmlChar* text) const { xmlFree(text); }
};

// The document as the file will hold it.
struct Dump {
  std::unique_ptr<xmlChar, XmlFree> bytes;
  size_t size = 0;

  bool write_to(int fd) const {
    return write_all(fd, reinterpret_cast<const char*>(bytes.get()), size);
  }
};

bool dump_document(xmlDoc* doc, Dump& dump) {
  xmlChar* bytes = nullptr;
  int size = 0;
  xmlDocDumpFormatMemoryEnc(doc, &bytes, &size, "UTF-8", 0);
  dump.bytes.reset(bytes);
  dump.size = size > 0 ? static_cast<size_t>(size) : 0;
  return bytes != nullptr && size > 0;
}

std::string errno_text() {
  return std::strerror(errno);
}

// Where and how a replacement file is made for a target.
struct Replacement {
  int dir = -1;       // the directory that holds the target
  std::string name;   // the target's name in it
  std::string shown;  // the target, for messages
  mode_t mode = 0;
  bool exists = false;
  uid_t uid = 0;
  gid_t gid = 0;
};

// Fills the mode and owner of `plan` from the target's `st`, when it exists.
void plan_replacement(const struct stat* st, Replacement& plan) {
  if (st != nullptr) {
    plan.exists = true;
    plan.mode = st->st_mode & 07777;
    plan.uid = st->st_uid;
    plan.gid = st->st_gid;
  } else {
    mode_t mask = umask(0);
    umask(mask);
    plan.mode = 0666 & ~mask;
  }
}

bool write_in_place(const Dump& dump, const WalkedPath& walked, std::string& error) {
  int no_follow = walked.kernel_object ? 0 : O_NOFOLLOW;
  Fd fd(openat(walked.dir.get(), walked.name.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | no_follow));
  if (!fd || !dump.write_to(fd.get()) || !fd.close()) {
    error = "cannot write " + walked.target + ": " + errno_text();
    return false;
  }
  return true;
}

// Makes a new file ".NAME.XXXXXX" in `plan.dir`, as mkostemp does in a named directory;
// `tmp` receives its name.
Fd make_temporary(const Replacement& plan, std::string& tmp) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    unsigned char random[6];
    if (getrandom(random, sizeof random, 0) != sizeof random) {
      if (errno == EINTR) continue;
      return Fd();
    }
    tmp = "." + plan.name.substr(0, 100) + ".";
    for (unsigned char r : random) tmp += kLetters[r % (sizeof kLetters - 1)];
    Fd fd(openat(plan.dir, tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd || errno != EEXIST) return fd;
  }
  return Fd();
}

// Gives the open temporary file `fd` the target's mode and owner and makes sure it reached the
// disk. The mode comes last, as it may forbid writing.
bool finish_temporary(Fd& fd, const std::string& shown, const Replacement& plan,
                      std::string& error) {
  if (plan.exists && (plan.uid != geteuid() || plan.gid != getegid())) {
    if (fchown(fd.get(), plan.uid, plan.gid) != 0) {
      // Only a privileged run can hand the file back to its owner; it keeps ours otherwise.
    }
  }
  if (fchmod(fd.get(), plan.mode) != 0) {
    error = "cannot set the mode of " + shown + ": " + errno_text();
    return false;
  }
  if (fsync(fd.get()) != 0 || !fd.close()) {
    error = "cannot flush " + shown + ": " + errno_text();
    return false;
  }
  return true;
}

void sync_directory(int dir) {
  Fd fd(openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd) fsync(fd.get());
}

// Writes the document to a temporary file beside the target and renames it over the target.
bool replace_file(const Dump& dump, const Replacement& plan, std::string& error) {
  const std::string dir = parent_dir(plan.shown);
  std::string tmp;
  Fd fd = make_temporary(plan, tmp);
  if (!fd) {
    error = "cannot create a temporary file in " + dir + ": " + errno_text();
    return false;
  }
  const std::string shown = dir + "/" + tmp;
  bool ok = true;
  if (!dump.write_to(fd.get())) {
    error = "cannot write " + shown + ": " + errno_text();
    ok = false;
  }
  ok = ok && finish_temporary(fd, shown, plan, error);
  if (ok && renameat(plan.dir, tmp.c_str(), plan.dir, plan.name.c_str()) != 0) {
    error = "cannot rename " + shown + " to " + plan.shown + ": " + errno_text();
    ok = false;
  }
  if (!ok) {
    unlinkat(plan.dir, tmp.c_str(), 0);
    return false;
  }
  sync_directory(plan.dir);
  return true;
}

}  // namespace

SaveResult save_document(xmlDoc* doc, const std::string& path, std::string& error) {
  WalkedPath walked = walk_own_links(path);
  switch (walked.walk) {
    case LinkWalk::kFollowed:
      break;
    case LinkWalk::kForeignLink:
      error = "a link owned by another user: " + walked.target;
      return SaveResult::kForeignLink;
    case LinkWalk::kBroken:
      error = "cannot follow the links of " + path;
      return SaveResult::kFailed;
    case LinkWalk::kUnreachable:
      error = "cannot reach " + walked.target + ": " + std::strerror(walked.error);
      return SaveResult::kFailed;
  }
  Dump dump;
  if (!dump_document(doc, dump)) {
    error = "cannot write the document of " + path;
    return SaveResult::kFailed;
  }
  struct stat st;
  bool exists = fstatat(walked.dir.get(), walked.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  if (!exists && errno != ENOENT) {
    error = "cannot look at " + walked.target + ": " + errno_text();
    return SaveResult::kFailed;
  }
  if (walked.kernel_object || (exists && !S_ISREG(st.st_mode))) {
    return write_in_place(dump, walked, error) ? SaveResult::kSaved : SaveResult::kFailed;
  }
  Replacement plan;
  plan.dir = walked.dir.get();
  plan.name = walked.name;
  plan.shown = walked.target;
  plan_replacement(exists ? &st : nullptr, plan);
  return replace_file(dump, plan, error) ? SaveResult::kSaved : SaveResult::kFailed;
}

}  // namespace zanrex
