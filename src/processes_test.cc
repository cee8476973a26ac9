#include "processes.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace zanrex {
namespace {

TEST(RunTool, ExitCodeSignalAndToolThatCannotStart) {
  SystemProcesses p;
  EXPECT_EQ(p.run_tool("/bin/sh", {"sh", "-c", "exit 0"}, ""), 0);
  EXPECT_EQ(p.run_tool("/bin/sh", {"sh", "-c", "exit 3"}, ""), 3);
  // A crashed tool is a failure, never the 0 an unread exit byte would give.
  EXPECT_EQ(p.run_tool("/bin/sh", {"sh", "-c", "kill -SEGV $$"}, ""), 128 + 11);
  // Stopped and continued along the way, it is still waited for to its end.
  EXPECT_EQ(
      p.run_tool("/bin/sh", {"sh", "-c", "(sleep 0.2; kill -CONT $$) & kill -STOP $$; exit 4"}, ""),
      4);
  EXPECT_EQ(p.run_tool("/nonexistent/tool", {"tool"}, ""), 1);
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

TEST(RunTool, ConsoleLineComesBeforeTheToolsOutputAndAfterEarlierText) {
  SystemProcesses p;
  CapturedStdout out;
  std::fputs("before ", stdout);  // still buffered when the child starts
  EXPECT_EQ(p.run_tool("/bin/sh", {"sh", "-c", "echo \"tool says $0\""}, "Command Executed\n"), 0);
  std::fputs("after\n", stdout);
  EXPECT_EQ(out.text(), "before Command Executed\ntool says sh\nafter\n");
}

TEST(RunTool, ArgumentsReachTheToolUnchanged) {
  SystemProcesses p;
  CapturedStdout out;
  EXPECT_EQ(
      p.run_tool("/bin/sh", {"name", "-c", "printf '[%s]' \"$@\"", "x", "a b", "*", "$HOME"}, ""),
      0);
  EXPECT_EQ(out.text(), "[a b][*][$HOME]");
}

TEST(Shell, RawWaitStatusAndFlushedConsole) {
  SystemProcesses p;
  CapturedStdout out;
  std::fputs("first\n", stdout);
  int status = p.shell("echo second; exit 5");
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 5);
  EXPECT_EQ(WEXITSTATUS(p.shell("./surely/not/here > /dev/null 2>&1")), 127);
  EXPECT_EQ(out.text(), "first\nsecond\n");
}

TEST(ReadOutput, LinesAndPiecesOfLongLines) {
  SystemProcesses p;
  std::vector<std::string> pieces;
  auto collect = [&pieces](const std::string& piece) {
    pieces.push_back(piece);
    return true;
  };
  EXPECT_TRUE(p.read_output("printf 'one\\n%0600d\\nlast'", collect));
  ASSERT_EQ(pieces.size(), 4u);
  EXPECT_EQ(pieces[0], "one\n");
  EXPECT_EQ(pieces[1], std::string(499, '0'));
  EXPECT_EQ(pieces[2], std::string(101, '0') + "\n");
  EXPECT_EQ(pieces[3], "last");

  // The reader can stop early; the rest of the output is not delivered.
  pieces.clear();
  EXPECT_TRUE(p.read_output("echo a; echo b; echo c", [&pieces](const std::string& piece) {
    pieces.push_back(piece);
    return false;
  }));
  EXPECT_EQ(pieces, std::vector<std::string>{"a\n"});
}

}  // namespace
}  // namespace zanrex

namespace zanrex {
namespace {

// Plain lines start without a shell; what they give must be what the shell gives.
TEST(PlainLines, SameOutcomeAsThroughTheShell) {
  SystemProcesses p;
  std::vector<std::string> pieces;
  auto collect = [&pieces](const std::string& piece) {
    pieces.push_back(piece);
    return true;
  };
  EXPECT_TRUE(p.read_output("ls -d /nonexistent/x 2>&1", collect));
  ASSERT_EQ(pieces.size(), 1u);
  EXPECT_NE(pieces[0].find("/nonexistent/x"), std::string::npos);

  pieces.clear();
  EXPECT_TRUE(p.read_output("/usr/bin/env", collect));
  bool pwd = false;
  for (const std::string& line : pieces) pwd = pwd || line.rfind("PWD=/", 0) == 0;
  EXPECT_TRUE(pwd) << "the shell names the working directory to what it starts";

  EXPECT_EQ(WEXITSTATUS(p.shell("/bin/false > /dev/null 2>&1")), 1);
  EXPECT_EQ(WEXITSTATUS(p.shell("ls /nonexistent/x > /dev/null 2>&1")), 2);
  EXPECT_EQ(WEXITSTATUS(p.shell("/nonexistent/tool > /dev/null 2>&1")), 127);
  pieces.clear();
  EXPECT_TRUE(p.read_output("/nonexistent/tool 2>&1", collect));
  ASSERT_EQ(pieces.size(), 1u);
  EXPECT_NE(pieces[0].find("not found"), std::string::npos) << pieces[0];
}

}  // namespace
}  // namespace zanrex
