#include "processes.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "fd.h"

extern char** environ;

namespace zanrex {

namespace {

struct SpawnActions {
  SpawnActions() { posix_spawn_file_actions_init(&actions); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  posix_spawn_file_actions_t actions;
};

struct SpawnAttributes {
  SpawnAttributes() { posix_spawnattr_init(&attr); }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attr); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t attr;
};

// Every signal back at its default, nothing blocked, and a process group of its own when
// asked for.
void clean_start(posix_spawnattr_t& attr, bool own_group) {
  // Every bit set: sigfillset leaves out the C library's own signals, which posix_spawn
  // would then hand over ignored.
  sigset_t all, none;
  std::memset(&all, 0xff, sizeof all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setsigmask(&attr, &none);
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  if (own_group) {
    posix_spawnattr_setpgroup(&attr, 0);
    flags |= POSIX_SPAWN_SETPGROUP;
  }
  posix_spawnattr_setflags(&attr, flags);
}

// Standard output and error as `output` asks (`pipe_end` is the writing end for a
// read-back), and no other descriptor left open. Every descriptor of this process is
// close-on-exec already; closing the rest here keeps one that is not from leaking.
void route_output(posix_spawn_file_actions_t& actions, Output output, int pipe_end) {
  if (output == Output::kDiscard) {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  } else if (output == Output::kReadBack) {
    posix_spawn_file_actions_adddup2(&actions, pipe_end, 1);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  }
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
}

// Starts `command`; 0 and the child's pid, or the error that kept it from starting.
int spawn(const Command& command, int pipe_end, pid_t& pid) {
  SpawnActions a;
  route_output(a.actions, command.output, pipe_end);
  SpawnAttributes sa;
  clean_start(sa.attr, command.own_process_group);
  std::vector<char*> argv(command.args.size() + 1, nullptr);
  std::transform(command.args.begin(), command.args.end(), argv.begin(),
                 [](const std::string& w) { return const_cast<char*>(w.c_str()); });
  const bool search = command.program.find('/') == std::string::npos;
  return search ? posix_spawnp(&pid, command.program.c_str(), &a.actions, &sa.attr, argv.data(),
                               environ)
                : posix_spawn(&pid, command.program.c_str(), &a.actions, &sa.attr, argv.data(),
                              environ);
}

// The controlling terminal while this process's group holds its foreground; -1 otherwise.
int foreground_terminal() {
  int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty < 0) return -1;
  if (tcgetpgrp(tty) != getpgrp()) {
    close(tty);
    return -1;
  }
  return tty;
}

// Gives the terminal's foreground to `group` (or back to this process's own group). A
// process in the background is stopped when it changes the foreground, unless it holds
// back SIGTTOU meanwhile.
void set_foreground(int tty, pid_t group) {
  sigset_t ttou, old;
  sigemptyset(&ttou);
  sigaddset(&ttou, SIGTTOU);
  sigprocmask(SIG_BLOCK, &ttou, &old);
  while (tcsetpgrp(tty, group) != 0 && errno == EINTR) {
  }
  sigprocmask(SIG_SETMASK, &old, nullptr);
}

// A tool in a group of its own that reads the terminal (or writes to it under "stty
// tostop") is stopped by the terminal. It then gets the terminal's foreground for the rest
// of its run, when this process holds it, and goes on; `tty` keeps the terminal to take
// the foreground back. Any other stop is left to whoever caused it.
void resume_terminal_stop(pid_t pid, int stop_signal, Fd& tty) {
  if (stop_signal != SIGTTIN && stop_signal != SIGTTOU) return;
  if (tty.get() < 0) {
    tty.reset(foreground_terminal());
    if (tty.get() < 0) return;
    set_foreground(tty.get(), pid);
  }
  kill(-pid, SIGCONT);
}

// Waits for `pid` until it has ended, whatever else is reported meanwhile.
int wait_for_exit(pid_t pid, bool own_group) {
  Fd tty;
  int code = 1;
  for (;;) {
    int status = 0;
    if (waitpid(pid, &status, own_group ? WUNTRACED : 0) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (WIFSTOPPED(status)) {
      resume_terminal_stop(pid, WSTOPSIG(status), tty);
      continue;
    }
    if (WIFEXITED(status) || WIFSIGNALED(status)) {
      code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
  }
  if (tty.get() >= 0) set_foreground(tty.get(), getpgrp());
  return code;
}

// Hands each piece of `in` to `on_piece`: a line, or 499 characters of a longer one.
void read_pieces(FILE* in, const PieceReader& on_piece) {
  char buf[500];
  for (;;) {
    errno = 0;
    if (!std::fgets(buf, sizeof buf, in)) {
      if (errno == EINTR) {
        clearerr(in);
        continue;
      }
      break;
    }
    if (on_piece && !on_piece(buf)) break;
  }
}

Outcome run_reading_back(const Command& command, const PieceReader& on_piece) {
  Outcome outcome;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    outcome.start_error = errno;
    return outcome;
  }
  Fd read_end(fds[0]);
  Fd write_end(fds[1]);
  pid_t pid = 0;
  outcome.start_error = spawn(command, write_end.get(), pid);
  if (outcome.start_error != 0) return outcome;
  write_end.reset();
  FilePtr in(fdopen(read_end.get(), "r"));
  if (in) {
    read_end.release();
    read_pieces(in.get(), on_piece);
  }
  // Closing the pipe before the wait lets a program with more to say end.
  in.reset();
  read_end.reset();
  outcome.exit_code = wait_for_exit(pid, command.own_process_group);
  return outcome;
}

}  // namespace

Outcome SystemProcesses::run(const Command& command, const PieceReader& on_piece) {
  std::fflush(stdout);
  if (command.output == Output::kReadBack) return run_reading_back(command, on_piece);
  Outcome outcome;
  pid_t pid = 0;
  outcome.start_error = spawn(command, -1, pid);
  if (outcome.start_error == 0) outcome.exit_code = wait_for_exit(pid, command.own_process_group);
  return outcome;
}

std::string command_text(const Command& command) {
  std::string text = command.program;
  for (size_t i = 1; i < command.args.size(); ++i) text += " " + command.args[i];
  return text;
}

}  // namespace zanrex
