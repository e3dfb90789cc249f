// Message boxes of the server, behind a port so that start-up failures can
// be shown by whatever front end runs (standard error without a display).
#pragma once

#include <cstdio>
#include <string>

class MessageBoxPort {
 public:
  enum class Icon { kStop, kWarning, kInformation };
  virtual ~MessageBoxPort() = default;
  // Shows text to the operator and returns when it has been seen (a
  // front end may block until the box is closed).
  virtual void Show(const std::string& text, Icon icon) = 0;
};

// Writes each message to a stream (standard error by default), ending it
// with a newline when it has none.
class StreamMessageBox final : public MessageBoxPort {
 public:
  explicit StreamMessageBox(std::FILE* stream = stderr) : stream_(stream) {}
  void Show(const std::string& text, Icon icon) override;

 private:
  std::FILE* stream_;
};
