#include "tool_query.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <functional>

#include "paths.h"

namespace zanrex {

namespace {

constexpr char kVersionKey[] = "loader file version";
constexpr size_t kVersionValueAt = sizeof kVersionKey;  // the key's length plus one: 20
constexpr char kSubsystemKey[] = "Subsystem";
constexpr size_t kSubsystemValueAt = sizeof kSubsystemKey;  // 10: the colon after the key
constexpr size_t kDeviceTypeLength = 4;

bool has_terminal_controls(const std::vector<std::string>& pieces) {
  return std::any_of(pieces.begin(), pieces.end(), [](const std::string& p) {
    return p.find_first_of("\b\r") != std::string::npos;
  });
}

std::string joined(const std::vector<std::string>& pieces) {
  std::string line;
  for (const std::string& p : pieces) line += p;
  return line;
}

bool holds_subsystem_key(const std::string& text) {
  return text.find(kSubsystemKey) != std::string::npos;
}

// Whether the line holds the subsystem key: as shown, or else in one of its pieces.
bool line_holds_subsystem_key(const std::vector<std::string>& pieces) {
  if (has_terminal_controls(pieces)) return holds_subsystem_key(as_shown(joined(pieces)));
  return std::any_of(pieces.begin(), pieces.end(), holds_subsystem_key);
}

// Hands `on_line` the pieces of each output line once the line is complete (or the output
// ends); reading stops when it returns false.
PieceReader line_reader(std::vector<std::string>& pieces,
                        const std::function<bool(const std::vector<std::string>&)>& on_line) {
  return [&pieces, on_line](const std::string& piece) {
    pieces.push_back(piece);
    if (piece.empty() || piece.back() != '\n') return true;  // the line goes on
    bool more = on_line(pieces);
    pieces.clear();
    return more;
  };
}

}  // namespace

std::string as_shown(const std::string& line) {
  std::string shown;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == '\b') {
      if (!shown.empty()) shown.pop_back();
    } else if (c == '\r') {
      bool ends_line = i + 1 == line.size() || (i + 2 == line.size() && line[i + 1] == '\n');
      if (!ends_line) shown.clear();
    } else {
      shown += c;
    }
  }
  return shown;
}

std::optional<std::string> version_from_line(const std::vector<std::string>& pieces) {
  if (has_terminal_controls(pieces)) return parse_version_line(as_shown(joined(pieces)));
  for (const std::string& p : pieces) {
    if (std::optional<std::string> version = parse_version_line(p)) return version;
  }
  return std::nullopt;
}

std::optional<std::string> subsystem_from_line(const std::vector<std::string>& pieces) {
  if (has_terminal_controls(pieces)) return parse_subsystem_line(as_shown(joined(pieces)));
  auto keyed = std::find_if(pieces.begin(), pieces.end(), holds_subsystem_key);
  if (keyed == pieces.end()) return std::nullopt;
  return parse_subsystem_line(*keyed);
}

std::optional<std::string> parse_version_line(const std::string& piece) {
  const std::string key = kVersionKey;
  auto same_letter = [](unsigned char a, unsigned char b) {
    return std::tolower(a) == std::tolower(b);
  };
  if (std::search(piece.begin(), piece.end(), key.begin(), key.end(), same_letter) == piece.end()) {
    return std::nullopt;
  }
  std::string version;
  for (size_t i = kVersionValueAt; i < piece.size() && version.size() < kMaxVersionText; ++i) {
    char c = piece[i];
    if (c >= '.' && c <= '9') version += c;
  }
  return version;
}

std::optional<std::string> parse_subsystem_line(const std::string& piece) {
  if (piece.find(kSubsystemKey) == std::string::npos) return std::nullopt;
  std::string work;
  for (size_t i = kSubsystemValueAt; i < piece.size(); ++i) {
    if (piece[i] != ' ') work += piece[i];
  }
  if (work.empty()) return std::nullopt;
  work.pop_back();  // the line end
  size_t colon = work.rfind(':');
  std::string id = colon == std::string::npos ? work : work.substr(colon + 1);
  if (id.size() > kDeviceTypeLength) id.erase(0, id.size() - kDeviceTypeLength);
  return id;
}

Command version_command(const std::string& address) {
  return {std::string(kFwDir) + "hfi1_eprom",
          {"hfi1_eprom", "-d", resource_file(address), "-V", "-o"},
          Output::kReadBack};
}

Command card_type_command(const std::string& lspci, const std::string& address) {
  return {lspci, {"lspci", "-nv", "-s", address}, Output::kReadBack};
}

std::string lspci_program() {
  static const char kSbinLspci[] = "/sbin/lspci";
  return access(kSbinLspci, X_OK) == 0 ? kSbinLspci : "lspci";
}

int query_firmware_version(RunContext& ctx, const std::string& address,
                           std::optional<std::string>& version) {
  version.reset();
  std::vector<std::string> pieces;
  auto take_line = [&version](const std::vector<std::string>& line) {
    version = version_from_line(line);
    return !version;
  };
  Outcome run = ctx.processes->run(version_command(address), line_reader(pieces, take_line));
  if (run.start_error != 0) {
    std::fputs("\n ERROR during fetching the firmware version via hfi1_eprom\n\n", ctx.err);
    return 1;
  }
  if (!version && !pieces.empty()) take_line(pieces);  // a last line without a line end
  return version && !version->empty() ? 0 : 1;
}

int query_card_type(RunContext& ctx, const std::string& address,
                    std::optional<std::string>& dev_type) {
  dev_type.reset();
  std::vector<std::string> pieces;
  auto take_line = [&dev_type](const std::vector<std::string>& line) {
    if (!line_holds_subsystem_key(line)) return true;
    dev_type = subsystem_from_line(line);
    return false;  // only the first line with the key counts
  };
  Outcome run = ctx.processes->run(card_type_command(lspci_program(), address),
                                   line_reader(pieces, take_line));
  if (run.start_error != 0) {
    std::fputs("\n ERROR to find the card type of given bus id\n\n", ctx.err);
    return 1;
  }
  if (!dev_type && !pieces.empty()) take_line(pieces);
  return dev_type ? 0 : 1;
}

}  // namespace zanrex
