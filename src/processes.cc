#include "processes.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "plain_command.h"

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

// Raw wait status of `pid` once it has ended, or -1.
int wait_status(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

struct SpawnActions {
  SpawnActions() { posix_spawn_file_actions_init(&actions); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
  posix_spawn_file_actions_t actions;
};

struct SpawnAttributes {
  SpawnAttributes() { posix_spawnattr_init(&attr); }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attr); }
  posix_spawnattr_t attr;
};

// Starts a plain command line as the shell would, without the shell: its standard output
// goes to `stdout_fd` (or stays) before its own redirections apply. 0 and the child's pid, or
// the error that kept it from starting (the caller then asks the shell, which reports it).
int spawn_plain(const PlainCommand& plain, int stdout_fd, const posix_spawnattr_t* attr,
                pid_t& pid) {
  SpawnActions a;
  if (stdout_fd >= 0) posix_spawn_file_actions_adddup2(&a.actions, stdout_fd, 1);
  if (plain.stdout_file) {
    posix_spawn_file_actions_addopen(&a.actions, 1, plain.stdout_file->c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0666);
  }
  if (plain.stderr_to_stdout) posix_spawn_file_actions_adddup2(&a.actions, 1, 2);
  std::vector<char*> argv;
  for (const std::string& w : plain.argv) argv.push_back(const_cast<char*>(w.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> env = shell_child_environment();
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(&e[0]);
  envp.push_back(nullptr);
  return posix_spawnp(&pid, argv[0], &a.actions, attr, argv.data(), envp.data());
}

// system(3) for a plain command: the caller ignores interrupt and quit and holds back
// SIGCHLD while it waits; the child gets back the dispositions and mask the caller had.
// Nothing when the program could not be started.
std::optional<int> system_plain(const PlainCommand& plain) {
  struct sigaction ignore = {}, old_int, old_quit;
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGINT, &ignore, &old_int);
  sigaction(SIGQUIT, &ignore, &old_quit);
  sigset_t chld, old_mask;
  sigemptyset(&chld);
  sigaddset(&chld, SIGCHLD);
  sigprocmask(SIG_BLOCK, &chld, &old_mask);

  SpawnAttributes sa;
  sigset_t defaults;
  sigemptyset(&defaults);
  if (old_int.sa_handler != SIG_IGN) sigaddset(&defaults, SIGINT);
  if (old_quit.sa_handler != SIG_IGN) sigaddset(&defaults, SIGQUIT);
  posix_spawnattr_setsigdefault(&sa.attr, &defaults);
  posix_spawnattr_setsigmask(&sa.attr, &old_mask);
  posix_spawnattr_setflags(&sa.attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  pid_t pid = 0;
  std::optional<int> status;
  if (spawn_plain(plain, -1, &sa.attr, pid) == 0) status = wait_status(pid);

  sigaction(SIGINT, &old_int, nullptr);
  sigaction(SIGQUIT, &old_quit, nullptr);
  sigprocmask(SIG_SETMASK, &old_mask, nullptr);
  return status;
}

// Hands each piece of `in` to `on_piece`: a line, or 499 characters of a longer one.
void read_pieces(FILE* in, const std::function<bool(const std::string&)>& on_piece) {
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
    if (!on_piece(buf)) break;
  }
}

// popen(3) for a plain command; false when the program could not be started.
bool read_plain(const PlainCommand& plain,
                const std::function<bool(const std::string&)>& on_piece) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  pid_t pid = 0;
  if (spawn_plain(plain, fds[1], nullptr, pid) != 0) {
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  close(fds[1]);
  FILE* in = fdopen(fds[0], "r");
  if (in == nullptr) {
    close(fds[0]);
  } else {
    read_pieces(in, on_piece);
    std::fclose(in);
  }
  wait_status(pid);
  return true;
}

}  // namespace

// Plain command lines (as the program's own are) start without a shell in front; a line the
// shell has to read, or a program that does not start, goes to the shell as before.
int SystemProcesses::shell(const std::string& command) {
  std::fflush(stdout);
  if (std::optional<PlainCommand> plain = parse_plain_command(command)) {
    if (std::optional<int> status = system_plain(*plain)) return *status;
  }
  return std::system(command.c_str());
}

bool SystemProcesses::read_output(const std::string& command,
                                  const std::function<bool(const std::string&)>& on_piece) {
  std::fflush(stdout);
  std::optional<PlainCommand> plain = parse_plain_command(command);
  if (plain && read_plain(*plain, on_piece)) return true;
  Pipe pipe(popen(command.c_str(), "r"));
  if (!pipe) return false;
  read_pieces(pipe.get(), on_piece);
  return true;
}

int SystemProcesses::run_tool(const std::string& program, const std::vector<std::string>& args,
                              const std::string& console_line) {
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  // The line goes out just before the tool starts, whether or not it can be started; spawning
  // (rather than forking the whole program) keeps a run with many flashing steps light.
  std::fflush(stdout);
  std::fputs(console_line.c_str(), stdout);
  std::fflush(stdout);
  pid_t pid = 0;
  if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return 1;
  return wait_for_exit(pid);
}

}  // namespace zanrex
