// What dio prints: lines for people and shell scripts, one compact JSON document per line for programs.
#pragma once

#include <chrono>
#include <string>

#include "DioTransactions.h"

namespace dio {

std::string listText(const Listing &listing);    // SERIAL<TAB>DESCRIPTION per line
std::string listJson(const Listing &listing);    // [{"serial": ..., "description": ...}, ...]
std::string portsText(const PortValues &values); // 0x00=0x5A per line
std::string portsJson(const std::string &serialNumber, const PortValues &values);
std::string utcTimestamp(std::chrono::system_clock::time_point time); // 2026-12-08T14:51:47.123Z
std::string watchText(const std::string &time, const PortValues &values);
std::string watchJson(const std::string &time, const PortValues &values);

} // namespace dio
