#include "document_save.h"

#include <fcntl.h>
#include <libxml/uri.h>
#include <libxml/xmlsave.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "fd.h"
#include "own_links.h"

namespace zanrex {

namespace {

struct UriFree {
  void operator()(xmlURI* uri) const { xmlFreeURI(uri); }
};
using UriPtr = std::unique_ptr<xmlURI, UriFree>;

std::string base_name(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string errno_text() {
  return std::strerror(errno);
}

// Where and how a replacement file is made for a target.
struct Replacement {
  std::string target;  // the file finally named, links followed
  mode_t mode = 0;
  bool exists = false;
  uid_t uid = 0;
  gid_t gid = 0;
};

// Fills `plan` for replacing `target` (links already followed), which is a regular file or
// names nothing yet; the target's `st` when it exists.
void plan_replacement(const std::string& target, const struct stat* st, Replacement& plan) {
  plan.target = target;
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

bool write_in_place(xmlDoc* doc, const std::string& path, std::string& error) {
  if (xmlSaveFileEnc(libxml_output_name(path).c_str(), doc, "UTF-8") < 0) {
    error = "cannot write " + path;
    return false;
  }
  return true;
}

// Writes the document into the open temporary file `tmp`, gives it the target's mode and
// owner, and makes sure it reached the disk. The mode comes last, as it may forbid writing.
bool fill_temporary(xmlDoc* doc, Fd& fd, const std::string& tmp, const Replacement& plan,
                    std::string& error) {
  int written = xmlSaveFileEnc(libxml_output_name(tmp).c_str(), doc, "UTF-8");
  if (written < 0) {
    error = "cannot write " + tmp;
    return false;
  }
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || st.st_size != written) {
    error = "incomplete write of " + tmp;
    return false;
  }
  if (plan.exists && (plan.uid != geteuid() || plan.gid != getegid())) {
    if (fchown(fd.get(), plan.uid, plan.gid) != 0) {
      // Only a privileged run can hand the file back to its owner; it keeps ours otherwise.
    }
  }
  if (fchmod(fd.get(), plan.mode) != 0) {
    error = "cannot set the mode of " + tmp + ": " + errno_text();
    return false;
  }
  if (fsync(fd.get()) != 0 || !fd.close()) {
    error = "cannot flush " + tmp + ": " + errno_text();
    return false;
  }
  return true;
}

void sync_directory(const std::string& dir) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  ::close(fd);
}

// Writes the document to a temporary file beside `plan.target` and renames it over the target.
bool replace_file(xmlDoc* doc, const Replacement& plan, std::string& error) {
  std::string dir = parent_dir(plan.target);
  std::string tmp = dir + "/." + base_name(plan.target).substr(0, 100) + ".XXXXXX";
  Fd fd(mkostemp(&tmp[0], O_CLOEXEC));
  if (fd.get() < 0) {
    error = "cannot create a temporary file in " + dir + ": " + errno_text();
    return false;
  }
  bool ok = fill_temporary(doc, fd, tmp, plan, error);
  if (ok && rename(tmp.c_str(), plan.target.c_str()) != 0) {
    error = "cannot rename " + tmp + " to " + plan.target + ": " + errno_text();
    ok = false;
  }
  if (!ok) {
    unlink(tmp.c_str());
    return false;
  }
  sync_directory(dir);
  return true;
}

}  // namespace

std::string libxml_output_name(const std::string& path) {
  if (path.find('%') == std::string::npos) return path;
  std::string escaped;
  for (char c : path) {
    if (c == '%') {
      escaped += "%25";
    } else {
      escaped += c;
    }
  }
  // The escapes are undone only for a name that reads as a URI without a scheme or with
  // "file"; any other name is opened as it stands.
  UriPtr uri(xmlParseURI(escaped.c_str()));
  if (uri && (uri->scheme == nullptr || xmlStrEqual(BAD_CAST uri->scheme, BAD_CAST "file"))) {
    return escaped;
  }
  return path;
}

SaveResult save_document(xmlDoc* doc, const std::string& path, std::string& error) {
  FollowedPath followed = follow_own_links(path);
  if (followed.walk == LinkWalk::kForeignLink) {
    error = "a link owned by another user: " + followed.target;
    return SaveResult::kForeignLink;
  }
  if (followed.walk == LinkWalk::kBroken) {
    error = "cannot follow the links of " + path;
    return SaveResult::kFailed;
  }
  struct stat st;
  bool exists = stat(followed.target.c_str(), &st) == 0;
  if (!exists && errno != ENOENT) {
    error = "cannot look at " + followed.target + ": " + errno_text();
    return SaveResult::kFailed;
  }
  if (exists && !S_ISREG(st.st_mode)) {
    return write_in_place(doc, followed.target, error) ? SaveResult::kSaved : SaveResult::kFailed;
  }
  Replacement plan;
  plan_replacement(followed.target, exists ? &st : nullptr, plan);
  return replace_file(doc, plan, error) ? SaveResult::kSaved : SaveResult::kFailed;
}

}  // namespace zanrex
