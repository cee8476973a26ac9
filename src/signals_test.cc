#include "signals.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <functional>

namespace zanrex {
namespace {

// Runs `body` in a child process and returns its exit code, so process-wide changes stay there.
int in_child(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

sighandler_t disposition(int signal_number) {
  struct sigaction now;
  sigaction(signal_number, nullptr, &now);
  return now.sa_handler;
}

TEST(PrepareSignals, ChildSignalBackAtItsDefaultAndBrokenPipesIgnored) {
  EXPECT_EQ(in_child([] {
              std::signal(SIGCHLD, SIG_IGN);
              prepare_signals();
              return disposition(SIGCHLD) == SIG_DFL && disposition(SIGPIPE) == SIG_IGN ? 0 : 1;
            }),
            0);
}

TEST(DeferredSignals, IgnoredSignalsStayIgnoredAndTheFirstOtherOneCounts) {
  EXPECT_EQ(in_child([] {
              std::signal(SIGHUP, SIG_IGN);
              close(2);  // no notice in the test's output
              DeferredSignals deferred("notice\n");
              raise(SIGHUP);
              if (disposition(SIGHUP) != SIG_IGN) return 1;
              raise(SIGQUIT);
              raise(SIGTERM);
              if (deferred.finish() != SIGQUIT) return 2;
              if (disposition(SIGHUP) != SIG_IGN || disposition(SIGQUIT) != SIG_DFL) return 3;
              DeferredSignals quiet("");
              return quiet.finish() == 0 ? 0 : 4;
            }),
            0);
}

}  // namespace
}  // namespace zanrex
