#include "processes.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace zanrex
