// Shell command lines that name one program with plain words, which can be started without a
// shell in front: the program's commands (start-up copies and probe, tool queries) are of this
// kind, and on a server with many adapters a shell per command is a good share of the run.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace zanrex {

// What the shell would do with a plain command line.
struct PlainCommand {
  std::vector<std::string> argv;           // the program (argv[0]) and its arguments
  std::optional<std::string> stdout_file;  // "> FILE": standard output to FILE, truncated
  bool stderr_to_stdout = false;           // "2>&1", after any "> FILE"
};

// Reads `command` as the shell would when it is plain: words of letters, digits and
// "_./:+,@%-" separated by blanks, "*" patterns expanded against the file system as the shell
// expands them (kept as written when nothing matches), and only the redirections "> FILE" and a
// final "2>&1". The program must be a path or a name that is no shell keyword or builtin.
// Anything else (quotes, variables, operators, other redirections, a pattern in the program
// name) gives nothing: such a line is for the shell.
std::optional<PlainCommand> parse_plain_command(const std::string& command);

// The environment the shell hands a program it starts from this process's `environ`: as
// given, with PWD naming the working directory (kept when it already does).
std::vector<std::string> shell_child_environment();

}  // namespace zanrex
