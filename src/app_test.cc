#include "app.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "cmdline.h"
#include "test_support.h"

namespace zanrex {
namespace {

// Records the start-up commands and answers them with the given raw statuses.
class RecordingProcesses : public FakeProcesses {
 public:
  int shell(const std::string& command) override {
    commands.push_back(command);
    return command.find("opatmmtool") != std::string::npos ? probe_status : 0;
  }
  std::vector<std::string> commands;
  int probe_status = 0;
};

std::string usage_text() {
  std::string text;
  for (const std::string& line : usage_lines()) text += line;
  return text;
}

TEST(RunProgram, StartUpCommandsRunFirstAndQuietly) {
  TestRun run;
  RecordingProcesses processes;
  run.ctx.processes = &processes;
  EXPECT_EQ(run_program(run.ctx, {"zanrex", "-h"}), 1);
  std::vector<std::string> expected = {
      "/usr/bin/cp ./nic_fw/libpsm2.so* /usr/lib64/ > /dev/null 2>&1",
      "/usr/bin/cp ./nic_fw/libpsm2.so* /usr/lib/ > /dev/null 2>&1",
      "./nic_fw/opatmmtool > /dev/null 2>&1",
  };
  EXPECT_EQ(processes.commands, expected);
  EXPECT_EQ(run.console(), usage_text());
}

TEST(RunProgram, ProbeStatusMessages) {
  struct Case {
    int status;
    std::string message;
  } cases[] = {
      {-1, "opatmmtool failed....check the driver installation\n\n"},
      {127 << 8, "opatmmtool command is not found\n\n"},
      {126 << 8, ""},
      {1 << 8, ""},
      {SIGKILL, ""},  // ended by a signal: no exit code to judge
  };
  for (const Case& c : cases) {
    TestRun run;
    RecordingProcesses processes;
    processes.probe_status = c.status;
    run.ctx.processes = &processes;
    EXPECT_EQ(run_program(run.ctx, {"zanrex", "eth0", "-bootenable", "rom"}), 0);
    EXPECT_EQ(run.console(), c.message) << c.status;
  }
}

TEST(RunProgram, EmptyCommandLineIsRefused) {
  TestRun run;
  EXPECT_EQ(run_program(run.ctx, {}), 1);
  EXPECT_EQ(run.console(), usage_text());
}

// Runs `body` in a child process and returns its exit code, so process-wide changes stay there.
int in_child(void (*body)()) {
  pid_t pid = fork();
  if (pid == 0) {
    body();
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

TEST(PrepareProcess, ClosedStandardDescriptorsPointAtTheNullDevice) {
  EXPECT_EQ(in_child([] {
              close(0);
              close(1);
              prepare_process();
              struct stat null_dev, st;
              stat("/dev/null", &null_dev);
              for (int fd : {0, 1}) {
                if (fstat(fd, &st) != 0 || st.st_rdev != null_dev.st_rdev) _exit(fd + 1);
              }
              // The next file opened gets a fresh descriptor, not a standard one.
              int next = open("/dev/null", O_RDONLY);
              if (next <= 2) _exit(5);
            }),
            0);
}

TEST(PrepareProcess, WritingToAPipeWithoutReaderFailsInsteadOfEndingTheProcess) {
  EXPECT_EQ(in_child([] {
              prepare_process();
              int fds[2];
              if (pipe(fds) != 0) _exit(1);
              close(fds[0]);
              if (write(fds[1], "x", 1) != -1 || errno != EPIPE) _exit(2);
            }),
            0);
}

}  // namespace
}  // namespace zanrex
