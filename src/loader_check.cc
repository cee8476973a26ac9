#include "loader_check.h"

#include "event_log.h"
#include "tool_query.h"

namespace zanrex {

std::optional<std::string> loader_check_failure(RunContext& ctx, const std::string& address,
                                                const Version& expected) {
  if (same_version(expected, Version{})) return std::nullopt;
  std::optional<std::string> read;
  query_firmware_version(ctx, address, read);
  if (read && same_version(parse_version(*read), expected)) return std::nullopt;
  const std::string shown = read && !read->empty() ? printable(*read) : "none";
  return printable(address) + " reports version " + shown + " after the update; expected " +
         display_version(expected);
}

}  // namespace zanrex
