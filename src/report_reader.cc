#include <cstdio>

#include "modes.h"

namespace zanrex {

int install_from_report(RunContext& ctx) {
  std::fprintf(ctx.err, "zanrex: the install from a report (-u) is not available yet\n");
  return 2;
}

}  // namespace zanrex
