// The application object of TKZ_App: start-up (settings, command line, site
// files), the settings written back at exit, the timer and idle callback
// slots through which the frame's one-second timer reaches the document, and
// the UTC/local time conversion used for rack clocks.
//
// Threads: everything here runs on the UI thread, except AdjustTime, which
// any thread may call.  Ownership: theApp lives for the whole process; it
// does not own its message-box port or clock (both outlive it); it owns the
// log view's buffer from start-up until ExitInstance.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "CommandLine.h"
#include "Document.h"
#include "LogBuffer.h"
#include "MessageBox.h"
#include "SiteLock.h"
#include "platform/settings/settings.h"
#include "platform/time/clock.h"

using TimerCallbackFn = int (*)(void* ctx, std::uint32_t timerId);
using IdleCallbackFn = std::uint8_t (*)(void* ctx);

// Site files and titles, settled by start-up (UI thread only).
extern std::string g_strDatabaseFile;   // "drovana.mdb" unless the command line names one
extern std::string g_strWorkgroupFile;  // "drovana.mdw" likewise
extern std::string g_strWindowTitle;    // "Drovana - TKZ" or "Calvera - TKZ"
extern std::string g_strLongTitle;      // "Drovana Communications Server" or Calvera's
// Window state of the tray mode (UI thread only).
extern bool g_bWindowShown;
extern bool g_bLoggedIn;

// Where the settings live: <config home>/Velmora/Drovana Communications System.ini.
inline constexpr char kSettingsFolder[] = "Velmora";
inline constexpr char kSettingsName[] = "Drovana Communications System";
inline constexpr char kSettingsSection[] = "Settings";

// The main frame as start-up sees it: created before the document opens
// (so that the comm thread always has a target for its posts), then shown or
// left hidden.
class AppFrame {
 public:
  virtual ~AppFrame() = default;
  // False ends start-up.
  virtual bool Create() = 0;
  virtual void ShowAtStart(bool show) = 0;
};

class CApp {
 public:
  CApp();
  ~CApp();

  // The command line, from the program's arguments or as text.
  void SetCommandLine(int argc, const char* const* argv);
  void SetCommandLine(std::string text) { m_strCommandLine = std::move(text); }
  void SetMessageBox(MessageBoxPort* port) { m_pMessageBox = port; }
  void SetClock(platform::time::Clock* clock) { m_pClock = clock; }
  // Without a display every log line is also written to standard output.
  void SetHeadless(bool headless) { m_bHeadless = headless; }
  // What the document template creates once the site's files are found
  // (the server's document).  Without a factory start-up stops short of the
  // document and logs that it did.
  using DocumentFactory = std::function<std::unique_ptr<CDocument>()>;
  void SetDocumentFactory(DocumentFactory factory) { m_DocumentFactory = std::move(factory); }
  // The main frame that start-up creates and shows (not owned); none: no
  // frame.
  void SetFrame(AppFrame* frame) { m_pFrame = frame; }

  // Start-up; false ends the program (its message box has been shown).
  bool InitInstance();
  // Writes the persisted settings back; returns the process exit code.
  int ExitInstance();
  bool OnIdle(long count);

  bool AddTimerCallback(TimerCallbackFn fn, void* ctx);
  bool RemoveTimerCallback(TimerCallbackFn fn, void* ctx);
  void OnTimerTick(std::uint32_t timerId);
  bool SetIdleCallback(IdleCallbackFn fn, void* ctx);
  bool ClearIdleCallback(IdleCallbackFn fn, void* ctx);
  std::uint8_t EnableCallbacks(std::uint8_t enable);

  // UTC <-> local time by the local offset, one hour more while daylight
  // saving is in force at t.  Any thread.
  static std::time_t AdjustTime(std::time_t t, bool toUtc);
  // True when the file's status can be read; else shows
  // "Error: Unable to open \"<path>\"." and returns false.
  bool FileExists(const char* path);

  // What start-up settled.
  const SiteChoice& Site() const { return m_Site; }
  // Start-up got as far as the document (and created the log view).
  bool ReachedDocument() const { return m_bReachedDocument; }
  LogBuffer* LogView() { return m_pLogView.get(); }
  // The open document, from its creation until its close (else null).
  CDocument* Document() { return m_pDocument.get(); }
  const std::filesystem::path& SettingsFile() const;

 private:
  struct TimerSlot {
    TimerCallbackFn fn = nullptr;
    void* ctx = nullptr;
  };
  struct IdleSlot {
    IdleCallbackFn fn = nullptr;
    void* ctx = nullptr;
  };

  void ReadSettings();
  // One server per site: the site lock of the database file, held from
  // before the document opens until the program exits.  False (its message
  // box shown) when another server holds it; a lock file that cannot be
  // made is said on standard error and start-up goes on.
  bool TakeSiteLock();
  bool OpenDocument();
  void CloseDocument();
  void ShowMessage(const std::string& text);

  std::uint8_t m_bCallbacksEnabled = 1;
  TimerSlot m_TimerSlot[2];
  IdleSlot m_IdleSlot;

  std::string m_strCommandLine;
  MessageBoxPort* m_pMessageBox = nullptr;
  platform::time::Clock* m_pClock = nullptr;
  bool m_bHeadless = true;
  std::optional<platform::settings::Profile> m_Profile;
  SiteChoice m_Site;
  bool m_bReachedDocument = false;
  std::unique_ptr<LogBuffer> m_pLogView;
  DocumentFactory m_DocumentFactory;
  AppFrame* m_pFrame = nullptr;
  std::unique_ptr<CDocument> m_pDocument;
  std::unique_ptr<StreamEcho> m_pEcho;
  SiteLock m_SiteLock;
};

extern CApp theApp;
