#include "tool_query.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "test_support.h"

namespace zanrex {
namespace {

TEST(ParseVersionLine, KeyInAnyCaseValueFromPositionTwenty) {
  EXPECT_EQ(parse_version_line("loader file version: 1.2.3\n"), "1.2.3");
  EXPECT_EQ(parse_version_line("Loader File Version: 10.4.0\n"), "10.4.0");
  EXPECT_EQ(parse_version_line("loader file version: v1.2 (build 7/3)\n"), "1.27/3");
  // The value is taken from position 20 of the line, wherever the key stands.
  EXPECT_EQ(parse_version_line("  loader file version: 1.2\n"), "1.2");
  EXPECT_EQ(parse_version_line("x 9.9 loader file version 1.2\n"), "1.2");
  EXPECT_EQ(parse_version_line("loader file version:\n"), "");
  EXPECT_EQ(parse_version_line("loader file version"), "");
  EXPECT_EQ(parse_version_line("driver file version: 1.2.3\n"), std::nullopt);
  EXPECT_EQ(parse_version_line(""), std::nullopt);
  EXPECT_EQ(parse_version_line("loader file version: " + std::string(400, '7')),
            std::string(kMaxVersionText, '7'));
}

TEST(ParseSubsystemLine, CaseSensitiveKeyAndTheTextAfterTheLastColon) {
  EXPECT_EQ(parse_subsystem_line("\tSubsystem: 8086:2628\n"), "2628");
  EXPECT_EQ(parse_subsystem_line("\tSubsystem: 8086:E8F1\n"), "E8F1");
  EXPECT_EQ(parse_subsystem_line("\tsubsystem: 8086:2628\n"), std::nullopt);
  EXPECT_EQ(parse_subsystem_line("\tSubsystem: Intel Corporation Device 2628\n"), "2628");
  EXPECT_EQ(parse_subsystem_line("\tSubsystem: 8086:123456\n"), "3456");
  EXPECT_EQ(parse_subsystem_line("\tSubsystem: 8086:26\n"), "26");
  // The last character is dropped whatever it is: a piece cut from a longer line loses one.
  EXPECT_EQ(parse_subsystem_line("\tSubsystem: 8086:2628"), "262");
  EXPECT_EQ(parse_subsystem_line("\tSubsystem"), std::nullopt);
}

TEST(AsShown, BackspacesAndCarriageReturnsDrawOverTheLine) {
  EXPECT_EQ(as_shown("abc\bd\n"), "abd\n");
  EXPECT_EQ(as_shown("\b\bab\b\b\bc"), "c");
  EXPECT_EQ(as_shown("50%\r100%\n"), "100%\n");
  EXPECT_EQ(as_shown("done\r\n"), "done\n");  // a line end written as CR LF
  EXPECT_EQ(as_shown("done\r"), "done");
  EXPECT_EQ(as_shown("plain line\n"), "plain line\n");
}

// The EEPROM tool's line while it reads slowly: the key, a spinner drawn over its last
// character, everything rubbed out again, then the final text.
std::string spinner_line(int turns) {
  std::string line = "loader file version:  ";
  for (int i = 0; i < turns; ++i) line += "\b-\b\\\b|\b/";
  return line + std::string(22, '\b') + "loader file version: 1.6.0.0.0\n";
}

// `line` cut as the pipe reader cuts it: 499 characters a piece.
std::vector<std::string> pieces_of(const std::string& line) {
  std::vector<std::string> pieces;
  for (size_t at = 0; at < line.size(); at += 499) pieces.push_back(line.substr(at, 499));
  return pieces;
}

TEST(ValueFromLine, SpinnersAreReadAsShownPlainLinesAsBefore) {
  EXPECT_EQ(spinner_line(1).size(), 22u + 8 + 22 + 31);
  EXPECT_EQ(version_from_line({spinner_line(1)}), "1.6.0.0.0");
  EXPECT_EQ(version_from_line(pieces_of(spinner_line(200))), "1.6.0.0.0");
  EXPECT_EQ(version_from_line({"loader file version: 0.9\rloader file version: 1.2.3\n"}), "1.2.3");
  EXPECT_EQ(version_from_line({"loader file version: 1.2.3\n"}), "1.2.3");
  EXPECT_EQ(version_from_line({"other\n"}), std::nullopt);
  // Without control characters each piece stands alone, the first with the key deciding.
  EXPECT_EQ(version_from_line({std::string(499, 'x'), "loader file version: 4.5.6\n"}), "4.5.6");
  EXPECT_EQ(subsystem_from_line({"\tSubsystem: 8086:2628\r\n"}), "2628");
  EXPECT_EQ(subsystem_from_line({"\tSubsystem: 8086:0000\b\b\b\b2628\n"}), "2628");
  EXPECT_EQ(subsystem_from_line({"\tSubsystem: 8086:2628\n"}), "2628");
  EXPECT_EQ(subsystem_from_line({"\tsubsystem: 8086:2628\n"}), std::nullopt);
}

class ToolQuery : public ::testing::Test {
 protected:
  void SetUp() override {
    err_ = tmpfile();
    ctx_.err = err_;
    ctx_.processes = &processes_;
  }
  void TearDown() override { std::fclose(err_); }
  std::string err_text() {
    std::rewind(err_);
    std::string s;
    for (int c; (c = std::fgetc(err_)) != EOF;) s += static_cast<char>(c);
    return s;
  }

  // The fake's answer to every query, whatever its command.
  void answer(const std::string& output) {
    processes_.outputs[command_text(version_command(kAddress))] = output;
    processes_.outputs[command_text(card_type_command(lspci_program(), kAddress))] = output;
  }
  static constexpr const char* kAddress = "0000:81:00.0";
  FakeProcesses processes_;
  RunContext ctx_;
  FILE* err_ = nullptr;
};

TEST_F(ToolQuery, VersionNamesTheAdapterAndTakesTheFirstKeyLine) {
  answer("hfi1_eprom 10.9\nloader file version: 1.2.3\nloader file version: 9.9\n");
  std::optional<std::string> version;
  EXPECT_EQ(query_firmware_version(ctx_, "0000:81:00.0", version), 0);
  EXPECT_EQ(version, "1.2.3");
  EXPECT_EQ(processes_.pieces_read, 2u);
  ASSERT_EQ(processes_.calls.size(), 1u);
  EXPECT_EQ(processes_.calls[0].program, "./nic_fw/hfi1_eprom");
  EXPECT_EQ(processes_.calls[0].args,
            (std::vector<std::string>{"hfi1_eprom", "-d",
                                      "/sys/bus/pci/devices/0000:81:00.0/resource0", "-V", "-o"}));
  EXPECT_EQ(processes_.calls[0].output, Output::kReadBack);

  answer("loader file version: none\n");
  EXPECT_EQ(query_firmware_version(ctx_, "0000:81:00.0", version), 1);
  EXPECT_EQ(version, "");  // found but empty: still handed out
  answer("no such adapter\n");
  EXPECT_EQ(query_firmware_version(ctx_, "0000:81:00.0", version), 1);
  EXPECT_EQ(version, std::nullopt);
  EXPECT_EQ(err_text(), "");
}

TEST_F(ToolQuery, VeryLongLinesAreReadInPieces) {
  // The key in the middle of a 20,000-character line: found in the piece that holds it whole.
  answer(std::string(998, 'x') + "loader file version: 4.5.6" + std::string(20000 - 998 - 26, 'y') +
         "\n");
  std::optional<std::string> version;
  EXPECT_EQ(query_firmware_version(ctx_, "0000:81:00.0", version), 0);
  EXPECT_EQ(version, "4.5.6");

  answer(std::string(20000, 'S') + "\n\tSubsystem: 8086:2628\n");
  std::optional<std::string> dev_type;
  EXPECT_EQ(query_card_type(ctx_, "0000:81:00.0", dev_type), 0);
  EXPECT_EQ(dev_type, "2628");
}

TEST_F(ToolQuery, ASpinnerLineLongerThanOnePieceIsReadWhole) {
  answer("hfi1_eprom 10.9\n" + spinner_line(100) + "loader file version: 9.9\n");
  std::optional<std::string> version;
  EXPECT_EQ(query_firmware_version(ctx_, "0000:81:00.0", version), 0);
  EXPECT_EQ(version, "1.6.0.0.0");
  answer(spinner_line(3).substr(0, spinner_line(3).size() - 1));  // no line end
  EXPECT_EQ(query_firmware_version(ctx_, "0000:81:00.0", version), 0);
  EXPECT_EQ(version, "1.6.0.0.0");
}

TEST_F(ToolQuery, CardTypeFromTheFirstSubsystemLine) {
  answer("81:00.0 0208: 8086:24f0 (rev 11)\n\tSubsystem: 8086:e8f1\n\tSubsystem: 8086:0001\n");
  std::optional<std::string> dev_type;
  EXPECT_EQ(query_card_type(ctx_, "0000:81:00.0", dev_type), 0);
  EXPECT_EQ(dev_type, "e8f1");
  ASSERT_EQ(processes_.calls.size(), 1u);
  EXPECT_EQ(processes_.calls[0].program, lspci_program());
  EXPECT_EQ(processes_.calls[0].args,
            (std::vector<std::string>{"lspci", "-nv", "-s", "0000:81:00.0"}));
  EXPECT_EQ(processes_.calls[0].output, Output::kReadBack);

  answer("lspci: -s: Invalid slot number\n");
  EXPECT_EQ(query_card_type(ctx_, "0000:81:00.0", dev_type), 1);
  EXPECT_EQ(dev_type, std::nullopt);
}

TEST_F(ToolQuery, CommandsThatCannotStartAreReported) {
  processes_.start_error = EAGAIN;
  std::optional<std::string> text;
  EXPECT_EQ(query_firmware_version(ctx_, "0000:81:00.0", text), 1);
  EXPECT_EQ(query_card_type(ctx_, "0000:81:00.0", text), 1);
  EXPECT_EQ(err_text(),
            "\n ERROR during fetching the firmware version via hfi1_eprom\n\n"
            "\n ERROR to find the card type of given bus id\n\n");
}

}  // namespace
}  // namespace zanrex
