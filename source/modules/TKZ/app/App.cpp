#include "App.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "DisplayFlags.h"
#include "LogSink.h"

std::string g_strDatabaseFile = "drovana.mdb";
std::string g_strWorkgroupFile = "drovana.mdw";
std::string g_strWindowTitle = "Drovana - TKZ";
std::string g_strLongTitle = "Drovana Communications Server";
bool g_bWindowShown = false;
bool g_bLoggedIn = false;

CApp theApp;

namespace {

struct PersistedFlag {
  const char* name;
  std::atomic<bool>* flag;
};

// Start-up reads the values in this order...
const PersistedFlag kReadOrder[] = {
    {"Comm Debug Messages", &g_bCommDebug},
    {"IPC Comm Debug Messages", &g_bIpcCommDebug},
    {"Doc Debug Messages", &g_bDocDebug},
    {"InSysTray", &g_bInSysTray},
    {"Time Stamp Log", &g_bTimeStampLog},
    {"Log to disk", &g_bLogToDisk},
    {"Direct Connect Comms Debug", &g_bDirectConnectDebug},
};

// ...and exit writes them in this one.  Comm Faults is never persisted.
const PersistedFlag kWriteOrder[] = {
    {"Comm Debug Messages", &g_bCommDebug},
    {"IPC Comm Debug Messages", &g_bIpcCommDebug},
    {"Doc Debug Messages", &g_bDocDebug},
    {"Time Stamp Log", &g_bTimeStampLog},
    {"Log to disk", &g_bLogToDisk},
    {"InSysTray", &g_bInSysTray},
    {"Direct Connect Comms Debug", &g_bDirectConnectDebug},
};

MessageBoxPort& DefaultMessageBox() {
  static StreamMessageBox box(stderr);
  return box;
}

}  // namespace

CApp::CApp() = default;
CApp::~CApp() = default;

void CApp::SetCommandLine(int argc, const char* const* argv) {
  m_strCommandLine = JoinArguments(argc, argv);
}

void CApp::ShowMessage(const std::string& text) {
  (m_pMessageBox != nullptr ? *m_pMessageBox : DefaultMessageBox())
      .Show(text, MessageBoxPort::Icon::kStop);
}

void CApp::ReadSettings() {
  m_Profile.emplace(kSettingsFolder, kSettingsName);
  if (!m_Profile->Load())
    std::fprintf(stderr, "Warning: the settings file \"%s\" was not read (%s); the defaults are used.\n",
                 m_Profile->File().c_str(), m_Profile->LoadError().c_str());
  for (const PersistedFlag& f : kReadOrder)
    f.flag->store(m_Profile->GetInt(kSettingsSection, f.name, 1) != 0);
  if (g_bLogToDisk.load()) SetLogToDisk(true);
}

const std::filesystem::path& CApp::SettingsFile() const {
  static const std::filesystem::path none;
  return m_Profile ? m_Profile->File() : none;
}

bool CApp::InitInstance() {
  m_bReachedDocument = false;

  ReadSettings();
  tzset();

  m_Site = ParseCommandLine(m_strCommandLine);
  g_strDatabaseFile = "drovana.mdb";
  g_strWorkgroupFile = "drovana.mdw";
  g_strWindowTitle = "Drovana - TKZ";
  g_strLongTitle = "Drovana Communications Server";

  if (m_Site.directory.empty()) {
    ShowMessage(
        "Error: Database subdirectory not specified.\n"
        "  Usage: TKZ_App <Database subdirectory>\n");
    return false;
  }
  if (::chdir(m_Site.directory.c_str()) != 0) {
    ShowMessage("Error: Unable to change to subdirectory \"" + m_Site.directory + "\".");
    return false;
  }

  g_strDatabaseFile = m_Site.databaseFile;
  g_strWorkgroupFile = m_Site.workgroupFile;
  g_strWindowTitle = m_Site.windowTitle;
  g_strLongTitle = m_Site.longTitle;

  if (!FileExists(g_strDatabaseFile.c_str())) return false;
  if (!FileExists(g_strWorkgroupFile.c_str())) return false;
  if (!TakeSiteLock()) return false;

  if (!OpenDocument()) {
    m_SiteLock.Release();
    return false;
  }
  // Shown, or hidden behind the notification-area icon with InSysTray.
  if (m_pFrame != nullptr) m_pFrame->ShowAtStart(!g_bInSysTray.load());
  return true;
}

bool CApp::TakeSiteLock() {
  const std::string path = SiteLock::PathFor(g_strDatabaseFile);
  switch (m_SiteLock.Take(path)) {
    case SiteLock::Result::kHeld:
      return true;
    case SiteLock::Result::kTaken: {
      const std::string who = m_SiteLock.holder() > 0
                                  ? "Another TKZ_App (process " + std::to_string(m_SiteLock.holder()) + ")"
                                  : std::string("Another TKZ_App");
      ShowMessage("Error: " + who + " is already serving the database \"" + g_strDatabaseFile +
                  "\" in \"" + m_Site.directory + "\".\nOnly one server may run on a site; this one does not start.");
      return false;
    }
    case SiteLock::Result::kUnavailable:
      std::fprintf(stderr,
                   "Warning: The site lock \"%s\" cannot be made (%s): a second server on this site would not be "
                   "refused.\n",
                   path.c_str(), m_SiteLock.why().c_str());
      return true;
  }
  return true;
}

bool CApp::OpenDocument() {
  // The log view comes with the document; it writes its day files into the
  // current directory, which is now the site directory.
  m_pLogView = std::make_unique<LogBuffer>(m_pClock != nullptr ? *m_pClock
                                                                : platform::time::SystemClock());
  if (m_bHeadless) {
    m_pEcho = std::make_unique<StreamEcho>(stdout);
    m_pLogView->AddObserver(m_pEcho.get());
  }
  m_bReachedDocument = true;
  // The frame exists before the document's open starts the comm thread.
  if (m_pFrame != nullptr && !m_pFrame->Create()) return false;
  LogPrintf("%s: site directory \"%s\", database \"%s\", workgroup \"%s\".\n",
            g_strWindowTitle.c_str(), m_Site.directory.c_str(), g_strDatabaseFile.c_str(),
            g_strWorkgroupFile.c_str());
  if (!m_DocumentFactory) {
    LogPrintf("No document in this program: no database is opened; exiting.\n");
    return true;
  }
  m_pDocument = m_DocumentFactory();
  if (m_pDocument == nullptr) return false;
  if (!m_pDocument->OnNewDocument()) {
    // A failed open destroys the document without its close.
    m_pDocument.reset();
    return false;
  }
  return true;
}

void CApp::CloseDocument() {
  // The document logs while it closes: it goes before the log view.
  if (m_pDocument != nullptr) {
    m_pDocument->OnCloseDocument();
    m_pDocument.reset();
  }
  // The counts of folded lines are written before the log closes.
  if (m_pLogView != nullptr) m_pLogView->FlushRepeats();
  m_pLogView.reset();
  m_pEcho.reset();
}

int CApp::ExitInstance() {
  CloseDocument();
  // The document has written its last rows: another server may start.
  m_SiteLock.Release();
  if (!m_Profile) m_Profile.emplace(kSettingsFolder, kSettingsName);
  // Reread first so that values written meanwhile by someone else survive.
  // The seven are taken out and written again, so that they follow the other
  // keys of the section in the write order whatever order the file held.
  if (!m_Profile->Load()) {
    // What could not be read is left as it is.
    std::fprintf(stderr, "Warning: the settings were not written: \"%s\" was not read (%s).\n",
                 m_Profile->File().c_str(), m_Profile->LoadError().c_str());
    return 0;
  }
  for (const PersistedFlag& f : kWriteOrder) m_Profile->Remove(kSettingsSection, f.name);
  for (const PersistedFlag& f : kWriteOrder)
    m_Profile->SetInt(kSettingsSection, f.name, f.flag->load() ? 1 : 0);
  if (!m_Profile->Save())
    std::fprintf(stderr, "Warning: the settings could not be written to \"%s\".\n",
                 m_Profile->File().c_str());
  return 0;
}

bool CApp::OnIdle(long /*count*/) {
  const bool more = false;  // nothing of our own wants idle time
  if (m_bCallbacksEnabled && m_IdleSlot.fn != nullptr && m_IdleSlot.fn(m_IdleSlot.ctx) != 0)
    return true;
  return more;
}

bool CApp::AddTimerCallback(TimerCallbackFn fn, void* ctx) {
  if (m_TimerSlot[0].fn == nullptr) m_TimerSlot[0] = {fn, ctx};
  return true;
}

bool CApp::RemoveTimerCallback(TimerCallbackFn fn, void* ctx) {
  if (m_TimerSlot[0].fn == fn && m_TimerSlot[0].ctx == ctx) m_TimerSlot[0] = {};
  return true;
}

void CApp::OnTimerTick(std::uint32_t timerId) {
  if (!m_bCallbacksEnabled) return;
  for (int i = 0; i < 2; ++i) {
    const TimerSlot slot = m_TimerSlot[i];
    if (slot.fn != nullptr) slot.fn(slot.ctx, timerId);
  }
}

bool CApp::SetIdleCallback(IdleCallbackFn fn, void* ctx) {
  if (m_IdleSlot.fn == nullptr) m_IdleSlot = {fn, ctx};
  return true;
}

bool CApp::ClearIdleCallback(IdleCallbackFn fn, void* ctx) {
  if (m_IdleSlot.fn == fn && m_IdleSlot.ctx == ctx) m_IdleSlot = {};
  return true;
}

std::uint8_t CApp::EnableCallbacks(std::uint8_t enable) {
  const std::uint8_t previous = m_bCallbacksEnabled;
  m_bCallbacksEnabled = enable != 0 ? 1 : 0;
  return previous;
}

std::time_t CApp::AdjustTime(std::time_t t, bool toUtc) {
  std::tm tm{};
  if (localtime_r(&t, &tm) == nullptr) {
    LogPrintfQueued("Error: CApp::AdjustTime() failed, TimeT = 0x%llx.\n",
                    static_cast<unsigned long long>(t));
    return t;
  }
  // timezone: seconds west of UTC, set by tzset().
  std::time_t offset = -static_cast<std::time_t>(timezone);
  if (tm.tm_isdst > 0) offset += 3600;
  return toUtc ? t - offset : t + offset;
}

bool CApp::FileExists(const char* path) {
  struct stat st {};
  if (::stat(path, &st) == 0) return true;
  ShowMessage(std::string("Error: Unable to open \"") + path + "\".");
  return false;
}
