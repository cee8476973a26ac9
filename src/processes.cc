#include "processes.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
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

// Every signal back at its default, nothing blocked, and a session of its own when asked for.
void clean_start(posix_spawnattr_t& attr, bool own_session) {
  // Every bit set: sigfillset leaves out the C library's own signals, which posix_spawn
  // would then hand over ignored.
  sigset_t all, none;
  std::memset(&all, 0xff, sizeof all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setsigmask(&attr, &none);
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  if (own_session) flags |= POSIX_SPAWN_SETSID;
  posix_spawnattr_setflags(&attr, flags);
}

// The descriptors a started program gets in place of this process's own: for a read-back the
// writing end of the pipe; for a detached run the two memory files and the inherited one.
struct ChildStreams {
  int out = -1;
  int err = -1;
  int fd3 = -1;
};

// Standard streams as `output` asks, and no other descriptor left open but descriptor 3 of a
// detached run. Every descriptor of this process is close-on-exec already; closing the rest
// here keeps one that is not from leaking.
void route_output(posix_spawn_file_actions_t& actions, Output output, const ChildStreams& to) {
  int keep = 3;
  if (output == Output::kDiscard) {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  } else if (output == Output::kReadBack) {
    posix_spawn_file_actions_adddup2(&actions, to.out, 1);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  } else if (output == Output::kDetached) {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, to.out, 1);
    posix_spawn_file_actions_adddup2(&actions, to.err, 2);
    if (to.fd3 >= 0) {
      posix_spawn_file_actions_adddup2(&actions, to.fd3, 3);
      keep = 4;
    }
  }
  posix_spawn_file_actions_addclosefrom_np(&actions, keep);
}

// Starts `command`; 0 and the child's pid, or the error that kept it from starting.
int spawn(const Command& command, const ChildStreams& streams, pid_t& pid) {
  SpawnActions a;
  route_output(a.actions, command.output, streams);
  SpawnAttributes sa;
  clean_start(sa.attr, command.output == Output::kDetached);
  std::vector<char*> argv(command.args.size() + 1, nullptr);
  std::transform(command.args.begin(), command.args.end(), argv.begin(),
                 [](const std::string& w) { return const_cast<char*>(w.c_str()); });
  const bool search = command.program.find('/') == std::string::npos;
  return search ? posix_spawnp(&pid, command.program.c_str(), &a.actions, &sa.attr, argv.data(),
                               environ)
                : posix_spawn(&pid, command.program.c_str(), &a.actions, &sa.attr, argv.data(),
                              environ);
}

// The exit code of a wait status that tells of an end, 128 + N for signal N; -1 otherwise.
int ended_with(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// Waits for `pid` until it has ended, whatever else is reported meanwhile.
int wait_for_exit(pid_t pid) {
  for (;;) {
    int status = 0;
    if (waitpid(pid, &status, 0) < 0) {
      if (errno == EINTR) continue;
      return 1;
    }
    int code = ended_with(status);
    if (code >= 0) return code;
  }
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
  ChildStreams streams;
  streams.out = write_end.get();
  outcome.start_error = spawn(command, streams, pid);
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
  outcome.exit_code = wait_for_exit(pid);
  return outcome;
}

// One output stream of a detached program: the memory file it writes, this process's
// descriptor it is copied to, and all it has written so far.
struct Capture {
  Fd file;
  int console;
  std::string text;

  // Copies what the file gained since the last call.
  void take_new() {
    std::string chunk(65536, '\0');
    for (;;) {
      ssize_t n = ::pread(file.get(), chunk.data(), chunk.size(), static_cast<off_t>(text.size()));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      text.append(chunk.data(), static_cast<size_t>(n));
      // When the console cannot take it (a reader gone, a terminal hung up) only the copy
      // is lost.
      write_all(console, chunk.data(), static_cast<size_t>(n));
    }
  }
};

// `fd` at a number above 3 (close-on-exec), so that the file actions filling the child's 0 to
// 3 never overwrite a descriptor they still copy from. A new descriptor is always made, so
// `fd` itself stays its owner's.
Fd above_three(int fd) {
  return Fd(fd < 0 ? -1 : ::fcntl(fd, F_DUPFD_CLOEXEC, 4));
}

// A new memory file for one output stream, at a number above 3.
Fd memory_file(const char* name) {
  Fd made(memfd_create(name, MFD_CLOEXEC));
  return above_three(made.get());
}

// A process descriptor that becomes readable when `pid` ends; -1 where the kernel has none.
Fd process_fd(pid_t pid) {
#ifdef SYS_pidfd_open
  return Fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
#else
  (void)pid;
  return Fd();
#endif
}

// Waits for `pid` to end, copying what it writes as it comes: after each wake-up (its end, or
// 100 ms at most) and to the end once it is over.
int wait_copying(pid_t pid, Capture& out, Capture& err) {
  Fd ended = process_fd(pid);
  for (;;) {
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r < 0 && errno == EINTR) continue;
    int code = r < 0 ? 1 : r == pid ? ended_with(status) : -1;
    out.take_new();
    err.take_new();
    if (code >= 0) return code;
    struct pollfd p = {ended.get(), POLLIN, 0};
    ::poll(&p, 1, 100);  // interrupted or timed out alike: look again
  }
}

Outcome run_detached(const Command& command) {
  Outcome outcome;
  errno = 0;
  Capture out{memory_file("zanrex-tool-stdout"), STDOUT_FILENO, ""};
  Capture err{memory_file("zanrex-tool-stderr"), STDERR_FILENO, ""};
  Fd fd3 = above_three(command.inherited_fd);
  if (!out.file || !err.file || (command.inherited_fd >= 0 && !fd3)) {
    outcome.start_error = errno != 0 ? errno : EMFILE;
    return outcome;
  }
  ChildStreams streams{out.file.get(), err.file.get(), fd3.get()};
  pid_t pid = 0;
  outcome.start_error = spawn(command, streams, pid);
  fd3.reset();
  if (outcome.start_error != 0) return outcome;
  outcome.exit_code = wait_copying(pid, out, err);
  outcome.output = std::move(out.text);
  outcome.error_output = std::move(err.text);
  return outcome;
}

}  // namespace

Outcome SystemProcesses::run(const Command& command, const PieceReader& on_piece) {
  std::fflush(stdout);
  if (command.output == Output::kReadBack) return run_reading_back(command, on_piece);
  if (command.output == Output::kDetached) return run_detached(command);
  Outcome outcome;
  pid_t pid = 0;
  outcome.start_error = spawn(command, ChildStreams{}, pid);
  if (outcome.start_error == 0) outcome.exit_code = wait_for_exit(pid);
  return outcome;
}

std::string command_text(const Command& command) {
  std::string text = command.program;
  for (size_t i = 1; i < command.args.size(); ++i) text += " " + command.args[i];
  return text;
}

}  // namespace zanrex
