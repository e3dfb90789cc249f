// Files that outside hands may have put anything in place of, and files that
// a full disk must not leave half-written.
//
//   ReadRegularFile  reads a whole file only when it is a regular file of at
//                    most a given size: a FIFO, a device or a link to one
//                    is refused without being read (nor opened, where the
//                    name shows it), so it can neither block nor flood the
//                    reader.
//   AppendFile       appends records whole or not at all: a write that the
//                    disk cuts short is cut back off the file, so the file
//                    never ends in a torn record.
//
// Threads: the functions may be called from any thread; an AppendFile is
// used by one thread at a time (its owner locks it if it is shared).
// Ownership: an AppendFile owns its descriptor and closes it.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace platform::file {

enum class ReadResult {
  kOk,
  kMissing,     // no file by that name
  kNotRegular,  // a directory, FIFO, socket or device (also behind a link)
  kTooLarge,    // more than the bound
  kFailed,      // it could not be opened or read; errno is in `error`
};

// Reads the file into `out` (emptied first).  `error` receives the errno of
// a failure (0 otherwise).
ReadResult ReadRegularFile(const std::filesystem::path& path, std::size_t maxBytes,
                           std::string& out, int& error);

// A short text for a result that is not kOk ("not a regular file", ...).
std::string ReadResultText(ReadResult result, std::size_t maxBytes, int error);

class AppendFile {
 public:
  AppendFile() = default;
  ~AppendFile();
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  // Opens the file for appending, creating it when missing (mode 0644 less
  // the umask: never writable by others), emptied first when `truncate` is
  // set.  Only a regular file is taken: the open never waits (a FIFO
  // without a reader fails at once) and anything but a regular file is
  // refused.  A file open before is closed.  False with Error() set.
  bool Open(const std::filesystem::path& path, bool truncate);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }

  // Appends all n bytes, or none of them: what a failing write (full disk,
  // size limit, I/O error) left of the record is cut off again.  False with
  // Error() set; when even the cut fails, the file is closed so that nothing
  // is ever appended behind the torn record.
  bool Append(const void* data, std::size_t n);

  // errno of the last failure (EINVAL for a file that is not regular).
  int Error() const { return error_; }
  // The last failure as a text ("No space left on device", "not a regular
  // file").
  std::string ErrorText() const;

 private:
  int fd_ = -1;
  int error_ = 0;
  bool notRegular_ = false;
};

}  // namespace platform::file
