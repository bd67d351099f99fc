// What dio prints: lines for people and shell scripts, one compact JSON document per line for programs.
// Device texts arrive as the library's single bytes. Lines show them escaped (control bytes and the
// backslash as \xHH), so a text can never start a line of its own; JSON keeps them exact.
#pragma once

#include <chrono>
#include <string>

#include "DioTransactions.h"

namespace dio {

std::string listText(const Listing &listing);    // SERIAL<TAB>DESCRIPTION per line
std::string listJson(const Listing &listing);    // [{"serial": ..., "description": ...}, ...]
std::string portsText(const PortValues &values); // 0x00=0x5A per line
std::string portsJson(std::string_view serialNumber, const PortValues &values);
std::string versionText(std::string_view version);
std::string utcTimestamp(std::chrono::system_clock::time_point time); // 2026-12-08T14:51:47.123Z
std::string watchText(const std::string &time, const PortValues &values);
std::string watchJson(const std::string &time, const PortValues &values);

} // namespace dio
