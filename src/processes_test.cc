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
  stops.own_process_group = true;
  EXPECT_EQ(p.run(stops, nullptr).exit_code, 4);

  Outcome missing = p.run({"/nonexistent/tool", {"tool"}}, nullptr);
  EXPECT_EQ(missing.start_error, ENOENT);
  EXPECT_EQ(p.run({"surely-no-such-program", {"x"}}, nullptr).start_error, ENOENT);
  EXPECT_EQ(p.run({"/dev/null", {"null"}}, nullptr).start_error, EACCES);
  // A name without '/' is looked up in PATH.
  EXPECT_EQ(p.run({"true", {"true"}}, nullptr).start_error, 0);
}

// Sends descriptor 1 to a scratch file while alive; text() gives what reached it.
class CapturedStdout {
 public:
  CapturedStdout() {
    char name[] = "/tmp/zanrex_stdoutXXXXXX";
    int fd = mkstemp(name);
    path_ = name;
    std::fflush(stdout);
    saved_ = dup(1);
    dup2(fd, 1);
    close(fd);
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

 private:
  void restore() {
    if (saved_ < 0) return;
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    saved_ = -1;
  }
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

// Whether the last line of `text`, "PID PGID", names a process leading its own group.
bool leads_group(const std::string& text) {
  long pid = 0, pgid = -1;
  size_t last = text.rfind('\n', text.size() - 2);
  std::sscanf(text.c_str() + (last == std::string::npos ? 0 : last + 1), "%ld %ld", &pid, &pgid);
  return pid == pgid;
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
              int leaked = open("/dev/null", O_RDONLY);  // no close-on-exec
              if (leaked < 3 || dup2(leaked, 40) != 40) return 1;
              // The signal state as the program itself starts with it.
              std::string signals = output_of(shell_script(
                  "exec grep -E '^Sig(Ign|Blk)' /proc/self/status", Output::kReadBack));
              if (signals != "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n") {
                std::fputs(signals.c_str(), stderr);
                return 2;
              }
              // The shell's descriptors beyond 0, 1 and 2, looked at without starting anything.
              Command c = shell_script("for n in 3 4 5 6 7 8 9 40 " + std::to_string(leaked) +
                                           "; do [ -e /proc/$$/fd/$n ] && printf '%s ' $n; done;"
                                           "echo; echo $$ $(cut -d' ' -f5 /proc/$$/stat)",
                                       Output::kReadBack);
              std::string seen = output_of(c);
              if (seen[0] != '\n') {
                std::fputs(seen.c_str(), stderr);
                return 3;
              }
              // Only when asked for, the program leads a process group of its own.
              if (leads_group(seen)) return 4;
              c.own_process_group = true;
              return leads_group(output_of(c)) ? 0 : 5;
            }),
            0);
}

// A tool in a process group of its own that reads the terminal: stopped by the terminal at
// first, it is handed the foreground, reads its line, and the foreground comes back after.
TEST(Run, ToolReadingTheTerminalGetsItsForegroundForTheStep) {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string slave = ptsname(master);
  ASSERT_EQ(write(master, "hello\n", 6), 6);  // typed ahead, waiting in the terminal
  EXPECT_EQ(in_child([&slave] {
              alarm(20);  // a tool left stopped would otherwise hang the test
              setsid();
              int tty = open(slave.c_str(), O_RDWR);  // becomes the controlling terminal
              if (tty < 0 || dup2(tty, 0) != 0 || dup2(tty, 1) != 1) return 1;
              Command c = shell_script("read -r line; [ \"$line\" = hello ]");
              c.own_process_group = true;
              Outcome o = SystemProcesses().run(c, nullptr);
              if (o.start_error != 0 || o.exit_code != 0) return 2;
              return tcgetpgrp(0) == getpgrp() ? 0 : 3;
            }),
            0);
  close(master);
}

TEST(CommandText, ProgramAndArgumentsAfterTheName) {
  EXPECT_EQ(command_text({"./nic_fw/hfi1_eprom", {"hfi1_eprom", "-V", "-o"}}),
            "./nic_fw/hfi1_eprom -V -o");
  EXPECT_EQ(command_text({"lspci", {}}), "lspci");
}

}  // namespace
}  // namespace zanrex
