// The four run modes. Each opens the event log itself and returns the exit status.
#pragma once

#include "run_context.h"

namespace zanrex {

int show_current(RunContext& ctx);            // -c, listing.cc
int upgrade_firmware(RunContext& ctx);        // no option, -s, -f, -y, -p; upgrade.cc
int write_discovery_report(RunContext& ctx);  // -d, report_writer.cc
int install_from_report(RunContext& ctx);     // -u, report_install.cc

}  // namespace zanrex
