// The adapter table every mode but -u works on: PCI scan, tool queries, catalogue match.
#pragma once

#include "run_context.h"

namespace zanrex {

// Fills ctx.adapters (one record per scan entry) and ctx.intel_ports. Returns 0 when at least
// one Intel adapter had its version and device type read, 1 when no Intel adapter was found,
// 2 when every Intel adapter's queries failed.
int build_nic_list(RunContext& ctx);

}  // namespace zanrex
