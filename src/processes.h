// Running other programs: the start-up copies and probe, the query tools and the flashing
// tools. Every program is started from its path and argument vector; no shell is involved
// and no command text is ever parsed. Tests substitute a fake.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace zanrex {

// What becomes of a started program's standard output and standard error.
enum class Output {
  kInherit,   // both stay this process's own
  kDiscard,   // both go to the null device
  kReadBack,  // both come back through one pipe, handed over piece by piece
  // A write step: a session of its own, standard input from the null device, standard output
  // and error each into a memory file that only this process and the program hold, copied to
  // this process's own as they grow and kept in the Outcome. Nothing that happens to the
  // console, its readers or this process's group reaches the program.
  kDetached,
};

// One program to start.
struct Command {
  std::string program;            // a path; a name without '/' is looked up in PATH
  std::vector<std::string> args;  // args[0] is the name the program is given
  Output output = Output::kInherit;
  // With Output::kDetached: a descriptor of this process handed to the program as its
  // descriptor 3 (e.g. the lock of the adapter it writes); -1 for none.
  int inherited_fd = -1;
};

// How a run ended. `start_error` is the errno that kept the program from starting (0 when it
// ran); otherwise `exit_code` is its exit code, or 128 + N when signal N ended it. A detached
// run also brings back what the program wrote to its standard output and error.
struct Outcome {
  int start_error = 0;
  int exit_code = 0;
  std::string output;
  std::string error_output;
};

// Receives one piece of read-back output: a line, or 499 characters of a longer one.
// Returning false stops the reading; the rest of the output is thrown away.
using PieceReader = std::function<bool(const std::string& piece)>;

class Processes {
 public:
  virtual ~Processes() = default;

  // Starts `command` and waits for it to end. With Output::kReadBack each piece of its
  // output goes to `on_piece` as it comes.
  virtual Outcome run(const Command& command, const PieceReader& on_piece) = 0;
};

// The real thing: posix_spawn and waitpid. The program starts clean: every signal at its
// default disposition, an empty signal mask, and no descriptor of this process beyond 0, 1
// and 2 (and the inherited one of a detached run). Standard output is flushed first, so the
// console reads the same on a terminal, a pipe or a file. A detached run's output is copied
// to descriptors 1 and 2 at least every 100 ms; a copy that cannot be written there (a reader
// gone, a terminal hung up) is dropped and changes nothing else. SIGPIPE must be ignored
// meanwhile (prepare_signals does it), or a reader gone would end this process.
class SystemProcesses : public Processes {
 public:
  Outcome run(const Command& command, const PieceReader& on_piece) override;
};

// The words of `command` joined by single spaces, its program in front of args[1..]: how
// the console and the tests show a command.
std::string command_text(const Command& command);

}  // namespace zanrex
