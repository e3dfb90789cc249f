// The IO_FTP job record: its release and its name fields.
#include "IoFtpRequest.h"

#include <unistd.h>

#include <cstring>

IoFtpRequest::~IoFtpRequest() {
  if (file.fd >= 0) ::close(file.fd);
}

bool SetIoFtpName(char (&field)[kIoFtpNameSize], const char* text) {
  std::memset(field, 0, sizeof field);
  if (text == nullptr) return false;
  const size_t n = std::strlen(text);
  if (n >= sizeof field) return false;
  std::memcpy(field, text, n);
  return true;
}
