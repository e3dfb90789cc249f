#include "net/lab.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "net/backend.h"

namespace net {
namespace {

// A usable host address: neither the wildcard nor the limited broadcast.
bool ParseHostAddress(const std::string& text, uint32_t* address) {
  uint32_t a = 0;
  if (!ParseAddress(text.c_str(), &a) || a == kAnyAddress || a == kLimitedBroadcast) return false;
  *address = a;
  return true;
}

std::string Trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const auto last = s.find_last_not_of(" \t");
  return s.substr(first, last - first + 1);
}

void Problem(std::string* problems, const char* name, const char* value, const char* why) {
  if (problems == nullptr) return;
  std::string v(value);
  if (v.size() > 80) v = v.substr(0, 80) + "...";
  *problems += std::string(name) + "=\"" + v + "\" ignored: " + why + "\n";
}

}  // namespace

LabConfig ParseLabConfig(const char* ownAddress, const char* bindOwn, const char* broadcastTo,
                         std::string* problems) {
  LabConfig c;
  if (problems != nullptr) problems->clear();

  if (ownAddress != nullptr && *ownAddress != '\0') {
    if (!ParseHostAddress(Trim(ownAddress), &c.ownAddress)) {
      c.ownAddress = 0;
      Problem(problems, kEnvOwnAddress, ownAddress, "not an IPv4 host address");
    }
  }

  if (bindOwn != nullptr && *bindOwn != '\0') {
    const std::string v = Trim(bindOwn);
    if (v == "1" || v == "yes" || v == "true" || v == "on") {
      c.bindWildcardToOwn = true;
    } else if (!(v == "0" || v == "no" || v == "false" || v == "off")) {
      Problem(problems, kEnvBindOwn, bindOwn, "expected 1/yes/true/on or 0/no/false/off");
    }
  }

  if (broadcastTo != nullptr && *broadcastTo != '\0') {
    const std::string all(broadcastTo);
    std::vector<uint32_t> list;
    bool ok = true;
    std::size_t start = 0;
    while (ok) {
      const std::size_t comma = all.find(',', start);
      const std::string item =
          Trim(all.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
      uint32_t a = 0;
      if (!ParseHostAddress(item, &a)) {
        ok = false;
        Problem(problems, kEnvBroadcastTo, broadcastTo, "expected a comma-separated list of IPv4 host addresses");
      } else if (list.size() == kMaxBroadcastTargets) {
        ok = false;
        Problem(problems, kEnvBroadcastTo, broadcastTo, "more than 254 addresses");
      } else if (std::find(list.begin(), list.end(), a) == list.end()) {
        list.push_back(a);  // a repeated address still gets one copy
      }
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    if (ok) c.broadcastTo = std::move(list);
  }
  return c;
}

LabConfig LabConfigFromEnvironment(std::string* problems) {
  return ParseLabConfig(std::getenv(kEnvOwnAddress), std::getenv(kEnvBindOwn),
                        std::getenv(kEnvBroadcastTo), problems);
}

}  // namespace net
