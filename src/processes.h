// Running other programs: the start-up shell commands, the query pipes and the flashing
// tools. Tests substitute a fake.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace zanrex {

class Processes {
 public:
  virtual ~Processes() = default;

  // Runs `command` through the shell as system(3) does; returns its raw wait status, or -1
  // when no shell could be started.
  virtual int shell(const std::string& command) = 0;

  // Runs `command` through the shell with its standard output piped back, and hands each
  // piece of output to `on_piece`: one line, or 499 characters of a longer one. Reading stops
  // when `on_piece` returns false. Returns false when the command could not be started.
  virtual bool read_output(const std::string& command,
                           const std::function<bool(const std::string& piece)>& on_piece) = 0;

  // Starts `program` with `args` (args[0] is the name it is given) in a child process, without
  // a shell. `console_line` goes to standard output just before the tool starts.
  // Returns the tool's exit code; 128 + the signal number when a signal ended it; 1 when it
  // could not be started.
  virtual int run_tool(const std::string& program, const std::vector<std::string>& args,
                       const std::string& console_line) = 0;
};

// The real thing: system(3) and popen(3), or posix_spawn for command lines plain enough to need
// no shell (see plain_command.h); posix_spawn and waitpid for the tools. Standard output is
// flushed before each, so the console reads the same on a terminal, a pipe or a file.
class SystemProcesses : public Processes {
 public:
  int shell(const std::string& command) override;
  bool read_output(const std::string& command,
                   const std::function<bool(const std::string& piece)>& on_piece) override;
  int run_tool(const std::string& program, const std::vector<std::string>& args,
               const std::string& console_line) override;
};

}  // namespace zanrex
