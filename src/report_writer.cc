#include <cstdio>

#include "modes.h"

namespace zanrex {

int write_discovery_report(RunContext& ctx) {
  std::fprintf(ctx.err, "zanrex: the discovery report (-d) is not available yet\n");
  return 2;
}

}  // namespace zanrex
