// The two adapter queries that go through outside tools: the installed firmware version from
// the EEPROM tool and the device type (subsystem device ID) from the PCI listing tool.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "run_context.h"

namespace zanrex {

// Longest installed version text kept.
constexpr size_t kMaxVersionText = 49;

// The version a piece of the EEPROM tool's output carries: nothing when the piece does not
// hold "loader file version" (in any case); otherwise the characters '.', '/' and digits from
// position 20 of the piece on, at most kMaxVersionText of them (possibly none).
std::optional<std::string> parse_version_line(const std::string& piece);

// The device type a piece of the PCI listing tool's output carries: nothing unless the piece
// holds "Subsystem" (with this case) and has text from position 10 on. The value is the text
// after the last ':' of what follows position 10, blanks and the last character dropped, cut
// to its last four characters.
std::optional<std::string> parse_subsystem_line(const std::string& piece);

// The text a terminal shows for `line`: each backspace removes the character before it, and a
// carriage return starts the line over (one that only precedes the line end is dropped).
std::string as_shown(const std::string& line);

// The value of one whole output line, read in `pieces` (a line, or 499 characters of a longer
// one). A line holding backspaces or carriage returns is taken whole, as a terminal shows it
// (progress spinners draw over their own text); any other line is judged piece by piece, the
// first piece that holds the key deciding.
std::optional<std::string> version_from_line(const std::vector<std::string>& pieces);
std::optional<std::string> subsystem_from_line(const std::vector<std::string>& pieces);

// "./nic_fw/hfi1_eprom -d /sys/bus/pci/devices/ADDR/resource0 -V -o", read back.
Command version_command(const std::string& address);

// `lspci` (the listing tool to run) with "-nv -s ADDR", read back.
Command card_type_command(const std::string& lspci, const std::string& address);

// "/sbin/lspci" where it is an executable file, otherwise "lspci" from the search path.
std::string lspci_program();

// Reads the installed version of the adapter at `address`. Returns 0 when a non-empty version
// was read. `version` is set whenever the key line was found, even to an empty text.
int query_firmware_version(RunContext& ctx, const std::string& address,
                           std::optional<std::string>& version);

// Reads the device type of the adapter at `address`; 0 when it was found.
int query_card_type(RunContext& ctx, const std::string& address,
                    std::optional<std::string>& dev_type);

}  // namespace zanrex
