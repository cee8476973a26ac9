// The check that follows the loader write: the EEPROM tool can end with 0 after a write that
// did not take, so the adapter is asked for its version again.
#pragma once

#include <optional>
#include <string>

#include "run_context.h"
#include "version.h"

namespace zanrex {

// Queries the installed version of the adapter at `address` (read back, nothing shown) and
// compares it, as a triple, with `expected`, the version of the entry just written. Nothing
// when they are equal, or when `expected` is 0.0.0 (an entry without a version: no query is
// made); otherwise "ADDR reports version TEXT after the update; expected X.Y.Z", TEXT being
// the version text read, or "none".
std::optional<std::string> loader_check_failure(RunContext& ctx, const std::string& address,
                                                const Version& expected);

}  // namespace zanrex
