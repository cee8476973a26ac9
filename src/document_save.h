// Saving a finished XML document to a file so that a failure never leaves half a file behind.
#pragma once

#include <libxml/tree.h>

#include <string>

namespace zanrex {

// Saves `doc` in UTF-8 to `path`. When the target is a regular file or does not exist yet
// (after following symbolic links), the document goes to a temporary file beside the target,
// with the target's mode (or the mode a new file gets under the umask), is flushed to disk and
// renamed over the target. Any other target (a device such as /dev/stdout), or a directory
// where no temporary file can be made, is written in place. On failure returns false with the
// reason in `error`; the target is then untouched unless it was written in place.
bool save_document(xmlDoc* doc, const std::string& path, std::string& error);

// `path` as libxml2's output functions must be given it to open exactly that file: they
// undo %-escapes in a file name before they open it.
std::string libxml_output_name(const std::string& path);

}  // namespace zanrex
