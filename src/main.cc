#include <cstdio>
#include <string>
#include <vector>

#include "app.h"

int main(int argc, char** argv) {
  zanrex::prepare_process();
  zanrex::SystemProcesses processes;
  zanrex::RunContext ctx;
  ctx.processes = &processes;
  int status = zanrex::run_program(ctx, std::vector<std::string>(argv, argv + argc));
  std::fflush(stdout);
  return status;
}
