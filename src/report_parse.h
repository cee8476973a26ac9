// Reading a discovery report handed back by the deployment tooling (-u) into its devices.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "adapter.h"
#include "event_log.h"

namespace zanrex {

// One device element of a report: the adapter it names as flashing takes it, and what only a
// report says. Values are kept whole; an element the device lacks leaves its field empty.
struct ReportDevice {
  // Its address rebuilt "busnumber:devicenumber.funcnumber" at the end of the element, IDs,
  // MAC, installed version; kNicValid once a ROM version was read, kNicFlash when its action
  // asks for an install.
  Adapter adapter;
  std::optional<std::string> device_id;
  std::optional<std::string> product_id;
  std::optional<std::string> slot;  // slotnumber
  std::optional<std::string> busnumber;
  std::optional<std::string> devicenumber;
  std::optional<std::string> funcnumber;
  std::string firmware_id;  // the device type: the fifth catalogue key field
};

enum class ReportRead { kOk, kOpenFailed, kParseFailed };

// Reads the devices of the report at `path` into `devices`, one record per `device` element:
// a counting pass, then a filling pass. Logs an installed version met under an image type
// other than "ROM". A report that is not well-formed, or whose attribute values use entities
// it declares itself, gives kParseFailed; `devices` is then not to be used.
ReportRead read_report(EventLog& log, const std::string& path, std::vector<ReportDevice>& devices);

// Value of at most four leading hexadecimal digits of `text`; 0 without any.
int report_hex_value(const std::string& text);

// True when an action value asks for an install: it contains "upgrade", "rewrite" or
// "downgrade" (case-sensitive).
bool action_requests_install(const std::string& action);

}  // namespace zanrex
