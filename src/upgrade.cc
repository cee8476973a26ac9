#include <cstdio>

#include "modes.h"

namespace zanrex {

int upgrade_firmware(RunContext& ctx) {
  std::fprintf(ctx.err, "zanrex: the upgrade is not available yet\n");
  return 2;
}

}  // namespace zanrex
