#include "app.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <functional>

#include "cmdline.h"
#include "test_support.h"

namespace zanrex {
namespace {

std::string usage_text() {
  std::string text;
  for (const std::string& line : usage_lines()) text += line;
  return text;
}

// Runs `body` with a scratch package directory as the working directory.
void in_package(const std::vector<std::string>& files, const std::function<void()>& body) {
  ScratchDir dir;
  std::string nic_fw = dir.path() + "/nic_fw";
  mkdir(nic_fw.c_str(), 0755);
  for (const std::string& f : files) std::fclose(std::fopen((nic_fw + "/" + f).c_str(), "w"));
  WorkingDir in_dir(dir.path());
  body();
}

TEST(RunProgram, StartUpCommandsRunFirstAndQuietly) {
  in_package({"libpsm2.so.2.2", "libpsm2.so", "libpsm2.so.2", "libother.so", "xlibpsm2.so"}, [] {
    TestRun run;
    EXPECT_EQ(run_program(run.ctx, {"zanrex", "-h"}), 1);
    const std::string libs = "./nic_fw/libpsm2.so ./nic_fw/libpsm2.so.2 ./nic_fw/libpsm2.so.2.2";
    std::vector<std::string> expected = {
        "/usr/bin/cp " + libs + " /usr/lib64/",
        "/usr/bin/cp " + libs + " /usr/lib/",
        "./nic_fw/opatmmtool",
    };
    EXPECT_EQ(run.processes.command_lines(), expected);
    ASSERT_EQ(run.processes.calls.size(), 3u);
    for (const Command& c : run.processes.calls) {
      EXPECT_EQ(c.output, Output::kDiscard) << command_text(c);
    }
    EXPECT_EQ(run.processes.calls[0].args[0], "cp");
    EXPECT_EQ(run.processes.calls[2].args, std::vector<std::string>{"opatmmtool"});
    EXPECT_EQ(run.console(), usage_text());
  });
  // No library in the package: nothing is copied.
  in_package({}, [] {
    TestRun run;
    EXPECT_EQ(run_program(run.ctx, {"zanrex", "-h"}), 1);
    EXPECT_EQ(run.processes.command_lines(), std::vector<std::string>{"./nic_fw/opatmmtool"});
  });
}

TEST(RunProgram, ProbeOutcomeMessages) {
  struct Case {
    int start_error;
    int exit_code;
    std::string message;
  } cases[] = {
      {EAGAIN, 0, "opatmmtool failed....check the driver installation\n\n"},
      {ENOMEM, 0, "opatmmtool failed....check the driver installation\n\n"},
      {ENOENT, 0, "opatmmtool command is not found\n\n"},
      {0, 127, "opatmmtool command is not found\n\n"},  // the tool's own 127 counts too
      {EACCES, 0, ""},
      {0, 126, ""},
      {0, 1, ""},
      {0, 128 + SIGKILL, ""},  // ended by a signal
  };
  in_package({}, [&cases] {
    for (const Case& c : cases) {
      TestRun run;
      run.processes.start_error = c.start_error;
      run.processes.codes = {c.exit_code};
      EXPECT_EQ(run_program(run.ctx, {"zanrex", "eth0", "-bootenable", "rom"}), 0);
      EXPECT_EQ(run.console(), c.message) << c.start_error << " " << c.exit_code;
    }
  });
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
