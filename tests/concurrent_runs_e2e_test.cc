// Runs that meet on one adapter: while one run flashes it (or lists it), another run that
// would flash it does nothing and says who holds it; readers share; separate servers never
// block each other.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "simulated_server.h"

namespace zanrex_test {
namespace {

const char kAddress[] = "0000:81:00.0";
const char kDevice[] = "/sys/bus/pci/devices/0000:81:00.0/resource0";

const char kCatalogue[] =
    "<?xml version=\"1.0\"?>\n<NICFWData>\n"
    "  <nic name=\"HFI\" venid=\"8086\" devid=\"24f0\" subvenid=\"8086\" DEVICE_TYPE=\"2628\" "
    "subdevid=\"2628\" rom=\"1.2.4\" fwFile1=\"new_1.bin\" fwFile2=\"new_2.rom\" "
    "fwFile3=\"new_3.bin\"/>\n</NICFWData>\n";

// A handed-back report asking for the adapter's upgrade.
const char kReport[] =
    "<?xml version=\"1.0\"?>\n<tarvik_rom_discovery><devices><device>"
    "<device_id value=\"0000:81:00.0\"/><venid value=\"8086\"/><devid value=\"24F0\"/>"
    "<subvenid value=\"8086\"/><subdevid value=\"2628\"/><busnumber value=\"0000:81\"/>"
    "<devicenumber value=\"00\"/><funcnumber value=\"0\"/><fw_item><type value=\"ROM\"/>"
    "<firmware_id value=\"2628\"/><active_version value=\"1.2.3\"/>"
    "<action value=\"upgrade\"/></fw_item></device></devices></tarvik_rom_discovery>\n";

const std::string kQuery = std::string("hfi1_eprom -d ") + kDevice + " -V -o";
const std::vector<std::string> kFlash = {
    std::string("hfi1_eprom -d ") + kDevice + " -w -o ./nic_fw/new_1.bin", kQuery,
    std::string("hfi1_eprom -d ") + kDevice + " -w -b ./nic_fw/new_2.rom",
    "opatmmtool -v -f ./nic_fw/new_3.bin update"};

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A server with one adapter at 1.2.3, an image set 1.2.4 and a report asking for it; the step
// named by `slow` ("write" or "query") takes `seconds`.
void set_up(SimulatedServer& sim, const std::string& slow, double seconds) {
  sim.add_pci_function({kAddress});
  sim.set_installed_version(kAddress, "1.2.3");
  sim.set_catalogue(kCatalogue);
  sim.write_file("r.xml", kReport);
  ToolReply reply(slow == "query" ? "loader file version: 1.2.3\n" : "");
  reply.delay = seconds;
  sim.on_call("hfi1_eprom", slow == "query" ? "*-V -o" : "*-w -o*", reply);
}

TEST(ConcurrentRunsE2E, AFlashingRunAndAnyOtherRunOnTheSameAdapter) {
  struct Case {
    std::vector<std::string> first;
    std::string slow;
    std::vector<std::string> second;
    std::vector<std::string> calls;  // all made by the first run
  };
  const std::vector<Case> cases = {
      {{"-s"}, "write", {"-s"}, std::vector<std::string>{kQuery} + kFlash},
      {{"-s"}, "write", {"-u", "r.xml"}, std::vector<std::string>{kQuery} + kFlash},
      {{"-u", "r.xml"}, "write", {"-s"}, kFlash},
      {{"-s"}, "write", {"-c"}, std::vector<std::string>{kQuery} + kFlash},
      {{"-c"}, "query", {"-s"}, {kQuery}},
  };
  for (const Case& c : cases) {
    SimulatedServer sim;
    SKIP_WITHOUT_UMOCKDEV(sim);
    set_up(sim, c.slow, 1);
    SimulatedServer::RunPair pair = sim.run_together(c.first, c.second);
    const std::string what = c.first[0] + " then " + c.second[0];

    EXPECT_EQ(pair.first.status, 0) << what << pair.first.err;
    EXPECT_EQ(pair.second.status, 2) << what;
    const std::string message = std::string("Adapter ") + kAddress +
                                " is in use by another zanrex run (pid " +
                                std::to_string(pair.first_pid) + "); nothing was done.\n";
    EXPECT_EQ(pair.second.err, message) << what;
    EXPECT_NE(pair.second.log.find("[[ERROR]    ] " + message), std::string::npos) << what;
    // The second run queried and flashed nothing: every call is the first run's.
    EXPECT_EQ(pair.first.calls, c.calls) << what;
    EXPECT_EQ(pair.second.out.find("Intel OPA Card info"), std::string::npos) << what;
  }
}

// zanrex killed with SIGKILL during a slow loader write: the write goes on to its end and holds
// the adapter meanwhile, so a run started at once is refused and writes nothing, naming the tool
// as the holder; once the write has ended the adapter is free (and, the write having taken,
// current: the later run re-flashes it).
TEST(ConcurrentRunsE2E, AWriteOutlivingItsKilledRunKeepsTheAdapter) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  set_up(sim, "write", 2);
  Together how;
  how.kill_first = true;
  how.third = {"-s", "-f"};
  SimulatedServer::RunPair runs = sim.run_together({"-s"}, {"-s"}, how);

  EXPECT_EQ(runs.first.status, 128 + 9);
  EXPECT_EQ(runs.second.status, 2);
  ASSERT_NE(runs.tool_pid, 0);
  EXPECT_EQ(runs.second.err, std::string("Adapter ") + kAddress +
                                 " is in use by another zanrex run (pid " +
                                 std::to_string(runs.tool_pid) + "); nothing was done.\n");
  EXPECT_EQ(runs.third.status, 0) << runs.third.err;
  // The killed run's query and write, then the third run's; none from the second.
  EXPECT_EQ(runs.first.calls, (std::vector<std::string>{kQuery, kFlash[0], kQuery} + kFlash));
  const std::vector<std::string> writes = {kFlash[0], kFlash[0], kFlash[2], kFlash[3]};
  EXPECT_EQ(sim.finished_writes(), writes);
}

TEST(ConcurrentRunsE2E, ReadersShareTheAdapter) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  set_up(sim, "query", 1);
  SimulatedServer::RunPair pair = sim.run_together({"-c"}, {"-d"});
  EXPECT_EQ(pair.first.status, 0) << pair.first.err;
  EXPECT_EQ(pair.second.status, 0) << pair.second.err;
  EXPECT_EQ(pair.first.calls, (std::vector<std::string>{kQuery, kQuery}));
  EXPECT_TRUE(sim.file_exists("nicdiscovery.xml"));
}

TEST(ConcurrentRunsE2E, TwoServersFlashAtTheSameTime) {
  SimulatedServer one, two;
  SKIP_WITHOUT_UMOCKDEV(one);
  set_up(one, "write", 2);
  set_up(two, "write", 2);
  RunResult first, second;
  std::atomic<int> running{2};
  std::thread a([&] {
    first = one.run({"-s"});
    --running;
  });
  std::thread b([&] {
    second = two.run({"-s"});
    --running;
  });
  // Both write steps (each run holding its adapter) must be seen under way at one moment.
  bool overlapped = false;
  while (running > 0) {
    if (access(one.busy_file().c_str(), F_OK) == 0 && access(two.busy_file().c_str(), F_OK) == 0) {
      overlapped = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  a.join();
  b.join();
  EXPECT_TRUE(overlapped);
  for (const RunResult* r : {&first, &second}) {
    EXPECT_EQ(r->status, 0) << r->err;
    EXPECT_EQ(r->err, "");
    EXPECT_EQ(r->calls, std::vector<std::string>{kQuery} + kFlash);
  }
}

}  // namespace
}  // namespace zanrex_test
