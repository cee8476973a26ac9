// Following symbolic links only where the running user laid them: a link planted by another
// user must not lead a privileged run to write somewhere else.
#pragma once

#include <string>

namespace zanrex {

enum class LinkWalk {
  kFollowed,     // `target` is the name finally meant; it need not exist
  kForeignLink,  // a link on the way belongs to another user than the effective one
  kBroken,       // a loop, or a link that cannot be read
};

struct FollowedPath {
  LinkWalk walk = LinkWalk::kBroken;
  std::string target;
};

// Follows the symbolic links that `path` names, one after the other, as opening it would.
// The kernel's own links under /proc whose text is no path (a pipe, a socket) end the walk
// and are themselves the target.
FollowedPath follow_own_links(const std::string& path);

// The directory part of `path` ("." without one, "/" for a name in the root).
std::string parent_dir(const std::string& path);

}  // namespace zanrex
