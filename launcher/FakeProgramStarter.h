// A ProgramStarter for tests: records every request and answers with a
// result chosen per command line (success unless told otherwise).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "ProgramStarter.h"

namespace startell {

class FakeProgramStarter final : public ProgramStarter {
 public:
  StartResult Start(const StartRequest& request) override {
    requests.push_back(request);
    const auto it = failures.find(request.commandLine);
    if (it == failures.end()) return StartResult{true, {}};
    return StartResult{false, it->second};
  }

  std::vector<StartRequest> requests;
  // Command lines that fail, with their error text.
  std::map<std::string, std::string> failures;
};

}  // namespace startell
