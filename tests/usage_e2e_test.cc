#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

// Runs the built program with `args` in a scratch directory and returns what it printed.
std::string run_zanrex(const std::string& args, int* status) {
  std::string cmd = "cd \"$(mktemp -d)\" && env -i PATH=/usr/bin:/bin " ZANREX_BINARY " " + args +
                    " 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int raw = pclose(p);
  *status = WEXITSTATUS(raw);
  return out;
}

TEST(UsageSmoke, HelpPrintsUsageWithoutBanner) {
  int status = -1;
  std::string out = run_zanrex("-h", &status);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(out.find("####"), std::string::npos);
  EXPECT_NE(out.find("USAGE: zanrex"), std::string::npos);
}

}  // namespace
