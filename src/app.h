// The program's entry: start-up actions, command line, banner, dispatch to one mode.
#pragma once

#include <string>
#include <vector>

#include "run_context.h"

namespace zanrex {

// Readies the process before anything is written: descriptors 0, 1 and 2 that are closed
// are opened on /dev/null, so the event log or a pipe can never take their place and receive
// console text; and a console whose reader has gone away (SIGPIPE) no longer ends the run,
// possibly between two flashing steps: its write errors are ignored instead. The tools
// started later inherit both.
void prepare_process();

// Runs the whole program for `words` (program name first) and returns the exit status.
int run_program(RunContext& ctx, std::vector<std::string> words);

}  // namespace zanrex
