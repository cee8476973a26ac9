// Following symbolic links only where the running user or the system laid them: a link planted
// by another user must not lead a privileged run to write somewhere else.
#pragma once

#include <string>

#include "fd.h"

namespace zanrex {

enum class LinkWalk {
  kFollowed,     // `dir` and `name` give the name finally meant; it need not exist
  kForeignLink,  // a link on the way belongs to another user than the effective one or root
  kBroken,       // a loop, or a link that cannot be read
  kUnreachable,  // a directory on the way cannot be opened; `error` tells why
};

struct WalkedPath {
  LinkWalk walk = LinkWalk::kBroken;
  Fd dir;            // O_PATH descriptor of the directory that holds `name`
  std::string name;  // the last component: no link, unless `kernel_object`
  // The path as walked, links replaced by their text: the link refused, the directory that
  // could not be opened, or the name finally meant.
  std::string target;
  // `name` is a link of the kernel's under /proc to something that is no file (a pipe, a
  // socket): it is opened through, not followed by its text.
  bool kernel_object = false;
  int error = 0;
};

// Walks `path` one component at a time, each opened by the kernel relative to the directory
// before it without following links (O_PATH | O_NOFOLLOW), so that no component can be
// swapped between the check and the use. A symbolic link is followed, its text walked in turn,
// only when it is owned by the effective user or by root, as the kernel's protected-symlinks
// rule does: /dev/stdout leads to /proc/self/fd/1 for every user.
WalkedPath walk_own_links(const std::string& path);

// The directory part of `path` ("." without one, "/" for a name in the root).
std::string parent_dir(const std::string& path);

}  // namespace zanrex
