#include "MessageBox.h"

void StreamMessageBox::Show(const std::string& text, Icon /*icon*/) {
  std::fwrite(text.data(), 1, text.size(), stream_);
  if (text.empty() || text.back() != '\n') std::fputc('\n', stream_);
  std::fflush(stream_);
}
