// A pseudo-terminal pair for tests and simulators: the master side stays
// with the owner, the slave side's path can be opened as a serial device.
#ifndef PLATFORM_SERIAL_PTY_H
#define PLATFORM_SERIAL_PTY_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace serial {

class PtyPair {
 public:
  // Opens a master in raw mode; ok() tells whether it worked.
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool ok() const { return master_ >= 0; }
  int master() const { return master_; }
  const std::string& slavePath() const { return slave_; }

  // Writes all bytes to the master (they arrive at the slave).
  bool Write(const std::vector<uint8_t>& bytes);
  // Reads from the master what the slave wrote, waiting at most timeoutMs
  // for each piece, until `count` bytes are in or nothing more comes.
  std::vector<uint8_t> Read(std::size_t count, int timeoutMs);

 private:
  int master_ = -1;
  int keep_ = -1;  // a slave descriptor held open so the master does not see a hang-up
  std::string slave_;
};

}  // namespace serial

#endif
