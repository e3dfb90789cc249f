// Helpers shared by the server's tests: a temporary directory, a recording
// log observer and a guard that restores the process-wide switches.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "DisplayFlags.h"
#include "LogBuffer.h"
#include "MessageBox.h"

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/tkz_test.XXXXXX";
    if (mkdtemp(tmpl) != nullptr) path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::string ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void WriteFile(const std::filesystem::path& p, const std::string& text) {
  std::ofstream(p, std::ios::binary) << text;
}

// Keeps everything the window was given, as one text.
class RecordingObserver final : public LogBuffer::Observer {
 public:
  void OnText(std::string_view text) override { text_.append(text); }
  void OnRemoveOldestLine() override { ++removed_; }
  void OnClear() override { ++cleared_; }
  const std::string& text() const { return text_; }
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    std::istringstream in(text_);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
  }
  int removed() const { return removed_; }
  int cleared() const { return cleared_; }

 private:
  std::string text_;
  int removed_ = 0;
  int cleared_ = 0;
};

// Saves and restores the switches a test may change.
class FlagGuard {
 public:
  FlagGuard()
      : saved_{g_bDocDebug.load(),     g_bCommDebug.load(),    g_bCommFaults.load(),
               g_bIpcCommDebug.load(), g_bDirectConnectDebug.load(), g_bTimeStampLog.load(),
               g_bLogToDisk.load(),    g_bInSysTray.load(),    g_bDiskLogActive.load()} {}
  ~FlagGuard() {
    std::atomic<bool>* flags[] = {&g_bDocDebug,     &g_bCommDebug,     &g_bCommFaults,
                                  &g_bIpcCommDebug, &g_bDirectConnectDebug, &g_bTimeStampLog,
                                  &g_bLogToDisk,    &g_bInSysTray,     &g_bDiskLogActive};
    for (size_t i = 0; i < 9; ++i) flags[i]->store(saved_[i]);
  }

 private:
  bool saved_[9];
};

// Restores the current directory.
class CwdGuard {
 public:
  CwdGuard() : cwd_(std::filesystem::current_path()) {}
  ~CwdGuard() {
    std::error_code ec;
    std::filesystem::current_path(cwd_, ec);
  }

 private:
  std::filesystem::path cwd_;
};

// Records the texts and icons of the message boxes shown; safe from any
// thread.
class RecordingMessageBox final : public MessageBoxPort {
 public:
  void Show(const std::string& text, Icon icon) override {
    std::lock_guard lk(m_);
    texts_.push_back(text);
    icons_.push_back(icon);
  }
  std::vector<std::string> texts() const {
    std::lock_guard lk(m_);
    return texts_;
  }
  std::vector<Icon> icons() const {
    std::lock_guard lk(m_);
    return icons_;
  }
  void Clear() {
    std::lock_guard lk(m_);
    texts_.clear();
    icons_.clear();
  }

 private:
  mutable std::mutex m_;
  std::vector<std::string> texts_;
  std::vector<Icon> icons_;
};
