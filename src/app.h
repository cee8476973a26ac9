// The program's entry: start-up actions, command line, banner, dispatch to one mode.
#pragma once

#include <string>
#include <vector>

#include "run_context.h"

namespace zanrex {

// Runs the whole program for `words` (program name first) and returns the exit status.
int run_program(RunContext& ctx, std::vector<std::string> words);

}  // namespace zanrex
