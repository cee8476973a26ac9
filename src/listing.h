// The -c listing: installed firmware of each usable adapter beside the catalogue's images.
#pragma once

#include <string>

#include "adapter.h"

namespace zanrex {

// The listing block of one adapter, exactly as printed: heading, identity and name of its first
// image, column headings, a rule, one row per image version in sort-key order (or a "Nothing"
// row) and a closing empty line.
std::string listing_block(const Adapter& adapter);

}  // namespace zanrex
