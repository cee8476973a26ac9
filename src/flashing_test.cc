#include "flashing.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "test_support.h"

namespace zanrex {
namespace {

Image image(const std::string& rom, const std::string& tag) {
  Image im;
  im.name = "Card " + tag;
  im.version = parse_version(rom);
  im.fw_file1 = "a_" + tag + ".bin";
  im.fw_file2 = "b_" + tag + ".rom";
  im.fw_file3 = "c_" + tag + ".signed";
  return im;
}

Adapter adapter(const std::string& address, std::vector<Image> images) {
  Adapter a;
  a.address = address;
  a.images = std::move(images);
  a.ven_id = 0x8086;
  a.dev_id = 0x24f0;
  a.sub_ven_id = 0x8086;
  a.sub_dev_id = 0x2628;
  a.flags = kNicValid | kNicFlash;
  return a;
}

const char kStep0[] =
    "Command Executed: ./nic_fw/hfi1_eprom -d /sys/bus/pci/devices/0000:81:00.0/resource0 -w -o "
    "./nic_fw/a_x.bin\n";
const char kStep1[] =
    "Command Executed: ./nic_fw/hfi1_eprom -d /sys/bus/pci/devices/0000:81:00.0/resource0 -w -b "
    "./nic_fw/b_x.rom\n";
const char kStep2[] = "Command Executed: ./nic_fw/opatmmtool -v -f ./nic_fw/c_x.signed update\n";

const char kSteps[] =
    "./nic_fw/hfi1_eprom -d /sys/bus/pci/devices/0000:81:00.0/resource0 -w -o ./nic_fw/a_x.bin\n"
    "./nic_fw/hfi1_eprom -d /sys/bus/pci/devices/0000:81:00.0/resource0 -V -o\n"
    "./nic_fw/hfi1_eprom -d /sys/bus/pci/devices/0000:81:00.0/resource0 -w -b ./nic_fw/b_x.rom\n"
    "./nic_fw/opatmmtool -v -f ./nic_fw/c_x.signed update\n";

// Flashing tests run in a scratch package whose ./nic_fw/ holds the files of images x, y and z.
class FlashAdapter : public ::testing::Test {
 protected:
  void SetUp() override {
    add_files("x", "1.2.3");
    add_files("y", "1.2.3");
    add_files("z", "1.0.0");
  }
  void add_files(const std::string& tag, const std::string& loader_version = "") {
    package_.add("a_" + tag + ".bin", loader_version);
    package_.add("b_" + tag + ".rom");
    package_.add("c_" + tag + ".signed");
  }
  ScratchPackage package_;
};

std::string joined(const std::vector<std::string>& lines) {
  std::string s;
  for (const std::string& l : lines) s += l + "\n";
  return s;
}

TEST_F(FlashAdapter, ThreeStepsInOrderWithTheirConsoleLinesAndLog) {
  TestRun run;
  run.add_adapter(adapter("0000:81:00.0", {image("1.2.3", "x")}));
  ASSERT_FALSE(lock_adapters(run.ctx.sysfs_devices, {"0000:81:00.0"}, LockKind::kExclusive,
                             run.ctx.adapter_locks));

  EXPECT_EQ(flash_adapter(run.ctx, run.ctx.adapters[0]), 0);

  EXPECT_EQ(joined(run.processes.command_lines()), kSteps);
  ASSERT_EQ(run.processes.steps(), 3u);
  EXPECT_EQ(run.processes.calls[0].args[0], "hfi1_eprom");
  EXPECT_EQ(run.processes.calls[1].output, Output::kReadBack);  // the loader's version again
  EXPECT_EQ(run.processes.calls[3].args[0], "opatmmtool");
  for (const Command& c : run.processes.calls) {
    if (c.output == Output::kReadBack) continue;
    // Each write step runs detached and holds the adapter's lock for as long as it writes.
    EXPECT_EQ(c.output, Output::kDetached);
    EXPECT_EQ(c.inherited_fd, run.ctx.adapter_locks[0].lock_descriptor());
    EXPECT_GE(c.inherited_fd, 0);
  }

  const std::string flashed = "Firmware Flashed:\tSUCCESS  for interface 0000:81:00.0\n\n";
  EXPECT_EQ(run.console(), kStep0 + flashed + kStep1 + flashed + kStep2 + flashed);
  const std::string success = "[[INFO]     ] MAC              Upgrade SUCCESS\n\n";
  const std::string written =
      "[[INFO]     ] Adapter 0000:81:00.0: firmware 1.2.3 written; reboot to load it\n\n";
  EXPECT_EQ(run.log(),
            "[[INFO]     ] \nThe Firmware Upgrade will take several minutes.  Please be patient.\n"
            "\n"
            "[[INFO]     ] \nSelecting Card x MAC:              \n\n" +
                success + success + success + written);
  EXPECT_EQ(run.ctx.status.bits, kFlashDone | kNoticeLogged | kAdapterDone);
  EXPECT_EQ(run.ctx.adapters[0].current_mac, "");
}

TEST_F(FlashAdapter, NothingHappensUnlessSelectedAndSomethingToFlash) {
  TestRun run;
  run.add_adapter(adapter("0000:81:00.0", {image("1.2.3", "x")}));
  run.ctx.adapters[0].flags = kNicValid;
  run.add_adapter(adapter("0000:82:00.0", {}));

  EXPECT_EQ(flash_adapter(run.ctx, run.ctx.adapters[0]), 0);
  EXPECT_EQ(run.console(), "");
  EXPECT_EQ(flash_adapter(run.ctx, run.ctx.adapters[1]), 0);
  EXPECT_EQ(run.console(), "Quitting......................as nothing found in repository\n");

  EXPECT_TRUE(run.processes.calls.empty());
  EXPECT_EQ(run.log(), "");
  EXPECT_EQ(run.ctx.status.bits, 0u);
}

TEST(ChosenImage, FirstEntryWithTheGreatestSortKey) {
  auto chosen = [](std::vector<std::string> roms) {
    std::vector<Image> images;
    for (size_t i = 0; i < roms.size(); ++i) images.push_back(image(roms[i], std::to_string(i)));
    return chosen_image(adapter("0000:81:00.0", images));
  };
  EXPECT_EQ(chosen({}), std::nullopt);
  EXPECT_EQ(chosen({"1.2.3"}), 0u);
  // Keys follow the digit strings: 1.9.0 sorts above 1.10.0, 1.2.3 above 1.10.0.
  EXPECT_EQ(chosen({"1.10.0", "1.9.0"}), 1u);
  EXPECT_EQ(chosen({"1.9.0", "1.10.0"}), 0u);
  EXPECT_EQ(chosen({"1.2.3", "1.10.0"}), 0u);
  // Two entries of one version: the first in the catalogue.
  EXPECT_EQ(chosen({"1.0.0", "2.0.0", "2.0.0"}), 1u);
  // Equal keys of different versions keep their order, so the later one ends last.
  EXPECT_EQ(chosen({"1.2.3", "1.2.30"}), 1u);
  EXPECT_EQ(chosen({"1.2.30", "1.2.3"}), 1u);
  // More images than the old fixed table held all take part.
  std::vector<std::string> many(80, "1.0.0");
  many[75] = "1.0.1";
  EXPECT_EQ(chosen(many), 75u);
}

TEST_F(FlashAdapter, WritesTheThreeFilesOfTheChosenEntry) {
  TestRun run;
  run.add_adapter(
      adapter("0000:81:00.0", {image("1.2.3", "x"), image("1.10.0", "y"), image("1.0.0", "z")}));

  EXPECT_EQ(flash_adapter(run.ctx, run.ctx.adapters[0]), 0);
  EXPECT_EQ(joined(run.processes.command_lines()), kSteps);
  EXPECT_NE(run.log().find("Selecting Card x MAC:"), std::string::npos);
}

TEST_F(FlashAdapter, StopsAtTheFirstFailedStep) {
  const std::string failed =
      "[[ERROR]    ] Firmware Upgrade failed\n \n\n"
      "[[ERROR]    ] Adapter 0000:81:00.0: firmware update to 1.2.3 failed\n\n";
  {
    TestRun run;
    run.add_adapter(adapter("0000:81:00.0", {image("1.2.3", "x")}));
    run.processes.codes = {3};
    EXPECT_EQ(flash_adapter(run.ctx, run.ctx.adapters[0]), 3);
    EXPECT_EQ(run.processes.steps(), 1u);
    EXPECT_EQ(run.console().find("SUCCESS"), std::string::npos);
    EXPECT_EQ(run.ctx.status.bits, kFlashFailed | kNoticeLogged);
    EXPECT_NE(run.log().find(failed), std::string::npos);
    EXPECT_EQ(run.log().find("SUCCESS"), std::string::npos);
  }
  {
    // A tool ended by SIGSEGV reports 128 + 11: a failure like any other.
    TestRun run;
    run.add_adapter(adapter("0000:81:00.0", {image("1.2.3", "x")}));
    run.processes.codes = {0, 139};
    EXPECT_EQ(flash_adapter(run.ctx, run.ctx.adapters[0]), 139);
    EXPECT_EQ(run.processes.steps(), 2u);
    EXPECT_EQ(run.console(), std::string(kStep0) +
                                 "Firmware Flashed:\tSUCCESS  for interface 0000:81:00.0\n\n" +
                                 kStep1);
    EXPECT_EQ(run.ctx.status.bits, kFlashFailed | kFlashDone | kNoticeLogged);
    EXPECT_NE(run.log().find("Upgrade SUCCESS\n\n" + failed), std::string::npos);
  }
  {
    TestRun run;
    run.add_adapter(adapter("0000:81:00.0", {image("1.2.3", "x")}));
    run.processes.codes = {0, 0, 1};
    EXPECT_EQ(flash_adapter(run.ctx, run.ctx.adapters[0]), 1);
    EXPECT_EQ(run.processes.steps(), 3u);
    EXPECT_TRUE(run.ctx.status.has(kFlashFailed));
  }
  {
    // The thermal tool says its update failed and still ends with 0: a failed step.
    TestRun run;
    run.add_adapter(adapter("0000:81:00.0", {image("1.2.3", "x")}));
    run.processes.outputs["./nic_fw/opatmmtool -v -f ./nic_fw/c_x.signed update"] =
        "Updating...\nFirmware Update Failed\n";
    EXPECT_EQ(flash_adapter(run.ctx, run.ctx.adapters[0]), 1);
    EXPECT_EQ(run.processes.steps(), 3u);
    EXPECT_EQ(run.console(),
              std::string(kStep0) + "Firmware Flashed:\tSUCCESS  for interface 0000:81:00.0\n\n" +
                  kStep1 + "Firmware Flashed:\tSUCCESS  for interface 0000:81:00.0\n\n" + kStep2);
    EXPECT_EQ(run.ctx.status.bits, kFlashFailed | kFlashDone | kNoticeLogged);
    EXPECT_NE(run.log().find("Upgrade SUCCESS\n\n" + failed), std::string::npos) << run.log();
  }
  {
    // A tool that cannot be started fails its step with 1.
    TestRun run;
    run.add_adapter(adapter("0000:81:00.0", {image("1.2.3", "x")}));
    run.processes.start_error = ENOENT;
    EXPECT_EQ(flash_adapter(run.ctx, run.ctx.adapters[0]), 1);
    EXPECT_EQ(run.processes.steps(), 1u);
    EXPECT_EQ(run.console().find("SUCCESS"), std::string::npos);
    EXPECT_EQ(run.ctx.status.bits, kFlashFailed | kNoticeLogged);
  }
}

TEST_F(FlashAdapter, MissingFileNameOrAddressFlashesNothing) {
  for (int missing = 0; missing < 5; ++missing) {
    TestRun run;
    Adapter a = adapter("0000:81:00.0", {image("1.2.3", "x")});
    std::string reason = "image file name missing in XML for 0000:81:00.0";
    switch (missing) {
      case 0:
        a.images[0].fw_file1.reset();
        break;
      case 1:
        a.images[0].fw_file2.reset();
        break;
      case 2:
        a.images[0].fw_file3 = "";
        break;
      case 3:
        a.address.reset();
        reason = "no PCI address for the adapter";
        break;
      case 4:
        a.address = "";
        reason = "no PCI address for the adapter";
        break;
    }
    run.add_adapter(a);

    EXPECT_EQ(flash_adapter(run.ctx, run.ctx.adapters[0]), 1) << missing;
    EXPECT_TRUE(run.processes.calls.empty()) << missing;
    EXPECT_TRUE(run.ctx.status.has(kFlashFailed)) << missing;
    EXPECT_FALSE(run.ctx.status.has(kFlashDone)) << missing;
    EXPECT_NE(run.log().find("[[ERROR]    ] Firmware Upgrade failed\n " + reason +
                             "\n\n[[ERROR]    ] Adapter " + a.address.value_or("") +
                             ": firmware update to 1.2.3 failed\n\n"),
              std::string::npos)
        << missing << run.log();
  }
}

TEST_F(FlashAdapter, NoticeOnceAndNoSelectionStepsWhenInstallingFromAReport) {
  TestRun run;
  run.add_adapter(adapter("0000:81:00.0", {image("1.2.3", "x")}));
  run.add_adapter(adapter("0000:82:00.0", {image("1.2.3", "y")}));
  EXPECT_EQ(flash_adapter(run.ctx, run.ctx.adapters[0]), 0);
  EXPECT_EQ(flash_adapter(run.ctx, run.ctx.adapters[1]), 0);
  std::string log = run.log();
  EXPECT_EQ(log.find("several minutes"), log.rfind("several minutes"));

  TestRun report;
  report.ctx.options.install_report = true;
  Adapter a = adapter("0000:81:00.0", {image("1.0.0", "z"), image("1.2.3", "x")});
  a.current_mac = "00:11:22:aa:bb:cc";
  report.add_adapter(a);
  EXPECT_EQ(flash_adapter(report.ctx, report.ctx.adapters[0]), 0);
  EXPECT_EQ(joined(report.processes.command_lines()), kSteps);
  // -u silences the console but for the lines that name each step.
  EXPECT_EQ(report.console(), std::string(kStep0) + kStep1 + kStep2);
  EXPECT_EQ(report.log().find("several minutes"), std::string::npos);
  EXPECT_EQ(report.log().find("Selecting"), std::string::npos);
  EXPECT_NE(report.log().find("MAC 00:11:22:aa:bb:cc Upgrade SUCCESS"), std::string::npos);
  EXPECT_EQ(report.ctx.adapters[0].current_mac, "00:11:22:aa:bb:cc");
  EXPECT_FALSE(report.ctx.status.has(kNoticeLogged));

  // A MAC text from a report cannot start log lines of its own.
  TestRun forged;
  forged.ctx.options.install_report = true;
  Adapter b = adapter("0000:81:00.0", {image("1.2.3", "x")});
  b.current_mac = "ab\nFri Jan  1 [[ERROR]    ] x";
  forged.add_adapter(b);
  EXPECT_EQ(flash_adapter(forged.ctx, forged.ctx.adapters[0]), 0);
  EXPECT_NE(forged.log().find("MAC ab?Fri Jan  1 [[ERROR]    ] x Upgrade SUCCESS\n"),
            std::string::npos);
}

TEST_F(FlashAdapter, ImageSetCheckedBeforeTheFirstStep) {
  // The second file is missing, or is a directory, or the first is unreadable: nothing runs.
  add_files("w");
  ASSERT_EQ(std::remove("nic_fw/b_w.rom"), 0);
  add_files("v");
  ASSERT_EQ(std::remove("nic_fw/c_v.signed"), 0);
  ASSERT_EQ(mkdir("nic_fw/c_v.signed", 0755), 0);
  const struct {
    std::string tag;
    std::string path;
  } cases[] = {{"w", "./nic_fw/b_w.rom"}, {"v", "./nic_fw/c_v.signed"}, {"u", "./nic_fw/a_u.bin"}};
  for (const auto& c : cases) {
    TestRun run;
    run.add_adapter(adapter("0000:81:00.0", {image("1.2.3", c.tag)}));
    EXPECT_EQ(flash_adapter(run.ctx, run.ctx.adapters[0]), 1) << c.tag;
    EXPECT_TRUE(run.processes.calls.empty()) << c.tag;
    EXPECT_EQ(run.ctx.status.bits & (kFlashFailed | kFlashDone), kFlashFailed) << c.tag;
    EXPECT_EQ(run.console(), "") << c.tag;
    EXPECT_NE(run.log().find("[[ERROR]    ] Firmware Upgrade failed\n image file " + c.path +
                             " not found in the package\n\n"),
              std::string::npos)
        << run.log();
  }
}

TEST_F(FlashAdapter, LoaderReadBackAfterItsStep) {
  add_files("w");  // a loader image that leaves no version behind
  const struct {
    Image image;
    size_t steps;
    std::string problem;
  } cases[] = {
      {image("1.2.3", "x"), 3, ""},
      {image("1.4.2", "x"), 1, " reports version 1.2.3 after the update; expected 1.4.2"},
      {image("1.2.3", "w"), 1, " reports version none after the update; expected 1.2.3"},
      {image("", "w"), 3, ""},  // an entry without a version: nothing to compare, no query
  };
  for (const auto& c : cases) {
    TestRun run;
    run.add_adapter(adapter("0000:81:00.0", {c.image}));
    EXPECT_EQ(flash_adapter(run.ctx, run.ctx.adapters[0]), c.problem.empty() ? 0 : 1) << c.problem;
    EXPECT_EQ(run.processes.steps(), c.steps) << c.problem;
    EXPECT_EQ(run.processes.calls.size(), c.steps + (c.image.version.major != 0));
    if (c.problem.empty()) continue;
    EXPECT_EQ(run.console().find("SUCCESS"), std::string::npos);
    EXPECT_EQ(run.ctx.status.bits, kFlashFailed | kNoticeLogged);
    EXPECT_NE(run.log().find("Firmware Upgrade failed\n 0000:81:00.0" + c.problem + "\n"),
              std::string::npos)
        << run.log();
  }
}

TEST_F(FlashAdapter, SysfsCheckedBeforeTheFirstStep) {
  TestRun run;
  for (const char* address : {"0000:81:00.0", "0000:82:00.0", "0000:83:00.0", "0000:84:00.0"}) {
    run.add_adapter(adapter(address, {image("1.2.3", "x")}));
  }
  const std::string sysfs = run.ctx.sysfs_devices;
  std::ofstream(sysfs + "/0000:83:00.0/subsystem_device") << "0x2629\n";  // another card now
  std::filesystem::remove_all(sysfs + "/0000:84:00.0/infiniband");
  EXPECT_EQ(flash_adapter(run.ctx, run.ctx.adapters[1]), 0);
  EXPECT_EQ(run.processes.command_lines().back(),
            "./nic_fw/opatmmtool -v -h 2 -f ./nic_fw/c_x.signed update");
  EXPECT_EQ(flash_adapter(run.ctx, run.ctx.adapters[2]), 1);
  EXPECT_EQ(flash_adapter(run.ctx, run.ctx.adapters[3]), 1);
  EXPECT_EQ(run.processes.calls.size(), 4u);
  EXPECT_NE(run.log().find("Firmware Upgrade failed\n 0000:83:00.0 is not the adapter that was "
                           "inventoried\n\n"),
            std::string::npos);
  EXPECT_NE(run.log().find("Firmware Upgrade failed\n 0000:84:00.0 has no hfi1 unit; its thermal "
                           "firmware cannot be addressed\n\n"),
            std::string::npos);
  // One Intel fabric function left: the thermal tool needs no number.
  for (const char* gone : {"0000:81:00.0", "0000:82:00.0", "0000:84:00.0"}) {
    std::filesystem::remove_all(sysfs + "/" + gone);
  }
  std::ofstream(sysfs + "/0000:83:00.0/subsystem_device") << "0x2628\n";
  std::filesystem::remove_all(sysfs + "/0000:83:00.0/infiniband");
  EXPECT_EQ(flash_adapter(run.ctx, run.ctx.adapters[2]), 0);
  EXPECT_EQ(run.processes.command_lines().back(),
            "./nic_fw/opatmmtool -v -f ./nic_fw/c_x.signed update");
}

TEST(FormatMac, DropsTheSeparatorsAndNeverReadsPastTheEnd) {
  EXPECT_EQ(format_mac("00:11:22:aa:bb:cc"), "001122aabbcc");
  EXPECT_EQ(format_mac("00-11-22-AA-BB-CCdd"), "001122AABBCC");
  EXPECT_EQ(format_mac("00:11:2"), "00112");
  EXPECT_EQ(format_mac("0"), "0");
  EXPECT_EQ(format_mac(""), "");
}

}  // namespace
}  // namespace zanrex
