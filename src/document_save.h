// Saving a finished XML document to a file so that a failure never leaves half a file behind.
#pragma once

#include <libxml/tree.h>

#include <string>

namespace zanrex {

enum class SaveResult {
  kSaved,
  kFailed,       // nothing could be made or written; an earlier file is untouched
  kForeignLink,  // `path` leads through a link of another user: nothing was written
};

// Saves `doc` in UTF-8 to `path`, following symbolic links only where the effective user or
// root owns them (see walk_own_links). When the target is a regular file or does not exist
// yet, the document goes to a temporary file made beside the target, through the descriptor
// it was made with, with the target's mode (or the mode a new file gets under the umask); it
// is flushed to disk and renamed over the target: the target is replaced whole or not at all.
// Only what is not a regular file (a device such as /dev/stdout, a pipe) is written in place.
// On failure `error` gives the reason.
SaveResult save_document(xmlDoc* doc, const std::string& path, std::string& error);

}  // namespace zanrex
