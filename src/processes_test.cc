#include "processes.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>

namespace zanrex {
namespace {

Command shell_script(const std::string& script, Output output = Output::kInherit) {
  return {"/bin/sh", {"sh", "-c", script}, output};
}

TEST(Run, ExitCodeSignalAndProgramsThatCannotStart) {
  SystemProcesses p;
  EXPECT_EQ(p.run(shell_script("exit 0"), nullptr).exit_code, 0);
  EXPECT_EQ(p.run(shell_script("exit 3"), nullptr).exit_code, 3);
  // A crashed tool is a failure, never the 0 an unread exit byte would give.
  EXPECT_EQ(p.run(shell_script("kill -SEGV $$"), nullptr).exit_code, 128 + 11);
  // Stopped and continued along the way, it is still waited for to its end.
  Command stops = shell_script("(sleep 0.2; kill -CONT $$) & kill -STOP $$; exit 4");
  EXPECT_EQ(p.run(stops, nullptr).exit_code, 4);
  stops.output = Output::kDetached;
  EXPECT_EQ(p.run(stops, nullptr).exit_code, 4);

  Outcome missing = p.run({"/nonexistent/tool", {"tool"}}, nullptr);
  EXPECT_EQ(missing.start_error, ENOENT);
  EXPECT_EQ(p.run({"/dev/null", {"null"}}, nullptr).start_error, EACCES);
  // A name without '/' is looked up in PATH: the system's own here, as a directory in the
  // caller's that this user may not search turns "not found" into EACCES.
  const std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
  setenv("PATH", "/usr/bin:/bin", 1);
  EXPECT_EQ(p.run({"surely-no-such-program", {"x"}}, nullptr).start_error, ENOENT);
  EXPECT_EQ(p.run({"true", {"true"}}, nullptr).start_error, 0);
  setenv("PATH", path.c_str(), 1);
}

// Sends descriptor `fd` (standard output by default) to a scratch file while alive; text()
// gives what reached it.
class CapturedStdout {
 public:
  explicit CapturedStdout(int fd = 1) : fd_(fd) {
    char name[] = "/tmp/zanrex_stdoutXXXXXX";
    int file = mkstemp(name);
    path_ = name;
    std::fflush(stdout);
    saved_ = dup(fd_);
    dup2(file, fd_);
    close(file);
  }
  ~CapturedStdout() {
    restore();
    std::remove(path_.c_str());
  }
  std::string text() {
    restore();
    std::ifstream in(path_);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  const std::string& path() const { return path_; }

 private:
  void restore() {
    if (saved_ < 0) return;
    std::fflush(stdout);
    dup2(saved_, fd_);
    close(saved_);
    saved_ = -1;
  }
  int fd_;
  std::string path_;
  int saved_ = -1;
};

TEST(Run, ArgumentsReachTheProgramUnchangedAfterEarlierConsoleText) {
  SystemProcesses p;
  CapturedStdout out;
  std::fputs("before ", stdout);  // still buffered when the child starts
  Command c = shell_script("printf '[%s]' \"$0\" \"$@\"");
  c.args.insert(c.args.end(), {"name", "a b", "*", "$HOME", "2>&1", "; ls"});
  EXPECT_EQ(p.run(c, nullptr).exit_code, 0);
  std::fputs(" after\n", stdout);
  EXPECT_EQ(out.text(), "before [name][a b][*][$HOME][2>&1][; ls] after\n");
}

TEST(Run, DiscardedOutputReachesNothing) {
  SystemProcesses p;
  CapturedStdout out;
  EXPECT_EQ(
      p.run(shell_script("echo out; echo err >&2; exit 2", Output::kDiscard), nullptr).exit_code,
      2);
  EXPECT_EQ(out.text(), "");
}

TEST(Run, ReadBackInLinesAndPiecesWithStandardErrorMerged) {
  SystemProcesses p;
  std::vector<std::string> pieces;
  auto collect = [&pieces](const std::string& piece) {
    pieces.push_back(piece);
    return true;
  };
  Command c = shell_script("printf 'one\\n%0600d\\n' 0; echo two >&2; printf last; exit 3",
                           Output::kReadBack);
  Outcome o = p.run(c, collect);
  EXPECT_EQ(o.start_error, 0);
  EXPECT_EQ(o.exit_code, 3);
  ASSERT_EQ(pieces.size(), 5u);
  EXPECT_EQ(pieces[0], "one\n");
  EXPECT_EQ(pieces[1], std::string(499, '0'));
  EXPECT_EQ(pieces[2], std::string(101, '0') + "\n");
  EXPECT_EQ(pieces[3], "two\n");
  EXPECT_EQ(pieces[4], "last");

  // The reader can stop early: the rest is not delivered, and a program with much more to
  // say is not left hanging.
  pieces.clear();
  o = p.run(shell_script("echo a; echo b; yes | head -c 10000000", Output::kReadBack),
            [&pieces](const std::string& piece) {
              pieces.push_back(piece);
              return false;
            });
  EXPECT_EQ(pieces, std::vector<std::string>{"a\n"});

  EXPECT_EQ(p.run({"/nonexistent/tool", {"tool"}, Output::kReadBack}, collect).start_error, ENOENT);
}

// Runs `body` in a child process and returns its exit code, so process-wide changes stay there.
int in_child(const std::function<int()>& body) {
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

// The output of `command` read back whole.
std::string output_of(const Command& command) {
  SystemProcesses p;
  std::string seen;
  p.run(command, [&seen](const std::string& piece) {
    seen += piece;
    return true;
  });
  return seen;
}

// Whether the last line of `text`, "PID PGID SID", names a process leading its own group and
// session.
bool leads_session(const std::string& text) {
  long pid = 0, pgid = -1, sid = -1;
  size_t last = text.rfind('\n', text.size() - 2);
  std::sscanf(text.c_str() + (last == std::string::npos ? 0 : last + 1), "%ld %ld %ld", &pid, &pgid,
              &sid);
  return pid == pgid && pid == sid;
}

// What a started program finds, whatever this process has ignored, blocked or left open.
TEST(Run, ProgramsStartClean) {
  EXPECT_EQ(in_child([] {
              signal(SIGPIPE, SIG_IGN);
              signal(SIGINT, SIG_IGN);
              sigset_t block;
              sigemptyset(&block);
              sigaddset(&block, SIGTERM);
              sigprocmask(SIG_BLOCK, &block, nullptr);
              // Two descriptors without close-on-exec, one above 9.
              int leaked = fcntl(open("/dev/null", O_RDONLY), F_DUPFD, 20);
              if (leaked < 20 || dup2(leaked, 40) != 40) return 1;
              // The signal state as the program itself starts with it.
              std::string signals = output_of(shell_script(
                  "exec grep -E '^Sig(Ign|Blk)' /proc/self/status", Output::kReadBack));
              if (signals != "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n") {
                std::fputs(signals.c_str(), stderr);
                return 2;
              }
              // The shell's descriptors beyond 0, 1 and 2, looked at without starting anything.
              const std::string look = "for n in 3 4 5 6 7 8 9 40 " + std::to_string(leaked) +
                                       "; do [ -e /proc/$$/fd/$n ] && printf '%s ' $n; done;"
                                       "echo; readlink /proc/$$/fd/0;"
                                       "echo $$ $(cut -d' ' -f5,6 /proc/$$/stat)";
              std::string seen = output_of(shell_script(look, Output::kReadBack));
              if (seen[0] != '\n' || leads_session(seen)) {
                std::fputs(seen.c_str(), stderr);
                return 3;
              }
              // A detached program leads a session of its own, reads the null device and has
              // the one descriptor handed to it as 3. Its output is copied to this process's.
              Command detached = shell_script(look, Output::kDetached);
              detached.inherited_fd = leaked;
              CapturedStdout out;
              Outcome o = SystemProcesses().run(detached, nullptr);
              if (out.text() != o.output || o.output.rfind("3 \n/dev/null\n", 0) != 0) {
                std::fputs(o.output.c_str(), stderr);
                return 4;
              }
              return leads_session(o.output) ? 0 : 5;
            }),
            0);
}

// A detached program's output reaches this process's standard output and error as it comes,
// in full once it ends, and is brought back; a console that cannot take it changes nothing.
TEST(Run, DetachedOutputIsCopiedAsItGrows) {
  SystemProcesses p;
  {
    CapturedStdout out, err(2);
    // The program sees its first line in this process's standard output while it still runs.
    Command c =
        shell_script("printf one; echo oops >&2; sleep 0.4; cat \"$0\"; exit 5", Output::kDetached);
    c.args.push_back(out.path());
    Outcome o = p.run(c, nullptr);
    EXPECT_EQ(o.exit_code, 5);
    EXPECT_EQ(o.output, "oneone");
    EXPECT_EQ(o.error_output, "oops\n");
    EXPECT_EQ(out.text(), "oneone");
    EXPECT_EQ(err.text(), "oops\n");
  }
  // Standard output a pipe whose reader is gone, standard error closed: the program still
  // says all it has to say and ends as it would.
  EXPECT_EQ(in_child([] {
              signal(SIGPIPE, SIG_IGN);
              int fds[2];
              if (pipe(fds) != 0 || dup2(fds[1], 1) != 1) return 1;
              close(fds[0]);
              close(2);
              Outcome o = SystemProcesses().run(
                  shell_script("yes progress | head -n 20000; echo done", Output::kDetached),
                  nullptr);
              return o.exit_code == 0 && o.output.size() == 20000 * 9 + 5 ? 0 : 2;
            }),
            0);
}

TEST(CommandText, ProgramAndArgumentsAfterTheName) {
  EXPECT_EQ(command_text({"./nic_fw/hfi1_eprom", {"hfi1_eprom", "-V", "-o"}}),
            "./nic_fw/hfi1_eprom -V -o");
  EXPECT_EQ(command_text({"lspci", {}}), "lspci");
}

}  // namespace
}  // namespace zanrex
