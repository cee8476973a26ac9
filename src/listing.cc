#include <cstdio>

#include "modes.h"

namespace zanrex {

int show_current(RunContext& ctx) {
  std::fprintf(ctx.err, "zanrex: -c listing is not available yet\n");
  return 2;
}

}  // namespace zanrex
