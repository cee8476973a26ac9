#include "tool_query.h"

#include <strings.h>
#include <unistd.h>

#include <cstdio>

#include "paths.h"

namespace zanrex {

namespace {

constexpr char kVersionKey[] = "loader file version";
constexpr size_t kVersionValueAt = sizeof kVersionKey;  // the key's length plus one: 20
constexpr char kSubsystemKey[] = "Subsystem";
constexpr size_t kSubsystemValueAt = sizeof kSubsystemKey;  // 10: the colon after the key
constexpr size_t kDeviceTypeLength = 4;

bool contains_ignoring_case(const std::string& text, const char* key) {
  const size_t n = std::char_traits<char>::length(key);
  for (size_t i = 0; i + n <= text.size(); ++i) {
    if (strncasecmp(text.c_str() + i, key, n) == 0) return true;
  }
  return false;
}

}  // namespace

std::optional<std::string> parse_version_line(const std::string& piece) {
  if (!contains_ignoring_case(piece, kVersionKey)) return std::nullopt;
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
  Outcome run = ctx.processes->run(version_command(address), [&](const std::string& p) {
    version = parse_version_line(p);
    return !version;
  });
  if (run.start_error != 0) {
    std::fputs("\n ERROR during fetching the firmware version via hfi1_eprom\n\n", ctx.err);
    return 1;
  }
  return version && !version->empty() ? 0 : 1;
}

int query_card_type(RunContext& ctx, const std::string& address,
                    std::optional<std::string>& dev_type) {
  dev_type.reset();
  Outcome run = ctx.processes->run(card_type_command(lspci_program(), address),
                                   [&](const std::string& piece) {
                                     if (piece.find(kSubsystemKey) == std::string::npos)
                                       return true;
                                     dev_type = parse_subsystem_line(piece);
                                     return false;  // only the first line with the key counts
                                   });
  if (run.start_error != 0) {
    std::fputs("\n ERROR to find the card type of given bus id\n\n", ctx.err);
    return 1;
  }
  return dev_type ? 0 : 1;
}

}  // namespace zanrex
