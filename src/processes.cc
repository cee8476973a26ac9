#include "processes.h"

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace zanrex {

namespace {

struct PipeCloser {
  void operator()(FILE* f) const { pclose(f); }
};
using Pipe = std::unique_ptr<FILE, PipeCloser>;

// Waits for `pid` itself until it has ended, whatever else is reported meanwhile.
int wait_for_exit(pid_t pid) {
  for (;;) {
    int status = 0;
    pid_t r = waitpid(pid, &status, 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      return 1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  }
}

}  // namespace

int SystemProcesses::shell(const std::string& command) {
  std::fflush(stdout);
  return std::system(command.c_str());
}

bool SystemProcesses::read_output(const std::string& command,
                                  const std::function<bool(const std::string&)>& on_piece) {
  std::fflush(stdout);
  Pipe pipe(popen(command.c_str(), "r"));
  if (!pipe) return false;
  char buf[500];
  for (;;) {
    errno = 0;
    if (!std::fgets(buf, sizeof buf, pipe.get())) {
      if (errno == EINTR) {
        clearerr(pipe.get());
        continue;
      }
      break;
    }
    if (!on_piece(buf)) break;
  }
  return true;
}

int SystemProcesses::run_tool(const std::string& program, const std::vector<std::string>& args,
                              const std::string& console_line) {
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  std::fflush(stdout);
  pid_t pid = fork();
  if (pid < 0) return 1;
  if (pid == 0) {
    std::fputs(console_line.c_str(), stdout);
    std::fflush(stdout);
    execv(program.c_str(), argv.data());
    _exit(1);
  }
  return wait_for_exit(pid);
}

}  // namespace zanrex
