// The operator login: a workgroup user who belongs to "Administrators".
#include "App.h"
#include "DisplayFlags.h"
#include "LogSink.h"
#include "MainFrame.h"
#include "dao/engine.h"
#include "dao/errors.h"

namespace {

constexpr char kAdminGroup[] = "Administrators";
// Source name and fixed line of the login's database error line.
constexpr char kLoginSource[] = "doc.cpp";
constexpr int kLoginErrorLine = 5432;

}  // namespace

bool DbLogin(const std::string& name, const std::string& password) {
  return DbLogin(g_strWorkgroupFile, name, password);
}

bool DbLogin(const std::string& workgroupFile, const std::string& name,
             const std::string& password) {
  const bool debug = g_bDocDebug.load();
  bool ok = false;
  try {
    dao::Engine engine;
    engine.SetSystemDatabase(workgroupFile);
    // A temporary workspace for this user: dropped when the check is done.
    const dao::Workspace workspace = engine.CreateWorkspace("", name, password);
    const dao::User user = workspace.Users(name);
    const int groups = user.GroupCount();
    if (debug) LogPrintf("User %s belongs to the following groups:\n", name.c_str());
    for (int i = 0; i < groups && !ok; ++i) ok = user.GroupName(i) == kAdminGroup;
    if (debug) {
      LogPrintf("\n");
      LogPrintf("Login %s.\n", ok ? "succeeded" : "failed");
    }
  } catch (const dao::Error& e) {
    ok = false;
    if (debug) {
      LogPrintf("%s#%d: Error %d : %s\n", kLoginSource, kLoginErrorLine, e.number(),
                e.description().c_str());
      LogPrintf("Login %s.\n", "failed");
    }
  }
  return ok;
}
