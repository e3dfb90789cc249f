#include "Rle.h"

namespace {

// Walks positions 0, s, 2s, ... below limit, then 1, 1+s, ..., plane by plane.
class StrideWalk {
 public:
  StrideWalk(uint32_t limit, uint32_t stride) : limit_(limit), stride_(stride ? stride : 1) {
    done_ = limit_ == 0;
  }
  bool done() const { return done_; }
  uint32_t pos() const { return pos_; }
  void Advance() {
    if (pos_ + stride_ < limit_) {
      pos_ += stride_;
      return;
    }
    ++plane_;
    // A plane that starts at or past the end has no bytes: the walk ends.
    if (plane_ >= stride_ || plane_ >= limit_) {
      done_ = true;
      return;
    }
    pos_ = plane_;
  }

 private:
  uint32_t limit_;
  uint32_t stride_;
  uint32_t pos_ = 0;
  uint32_t plane_ = 0;
  bool done_ = false;
};

class Packer {
 public:
  Packer(uint8_t* out, uint16_t outSize) : out_(out), size_(outSize) {}
  bool failed() const { return failed_; }
  uint16_t written() const { return static_cast<uint16_t>(n_); }

  void Byte(uint8_t x) {
    if (count_ > 0 && x == byte_) {
      if (++count_ == 127) {
        FlushLiterals();
        Run();
        count_ = 0;
      }
      return;
    }
    EndRun();
    byte_ = x;
    count_ = 1;
  }
  void Finish() {
    if (count_ >= 3) {
      FlushLiterals();
      Run();
    } else {
      EndRun();
      FlushLiterals();
    }
    count_ = 0;
  }

 private:
  void EndRun() {
    if (count_ >= 3) {
      FlushLiterals();
      Run();
    } else {
      for (uint32_t i = 0; i < count_; ++i) {
        lit_[nlit_++] = byte_;
        if (nlit_ == 127) FlushLiterals();
      }
    }
    count_ = 0;
  }
  bool Fits(uint32_t bytes) {
    if (failed_ || n_ + bytes > size_) failed_ = true;
    return !failed_;
  }
  void Run() {
    if (!Fits(2)) return;
    out_[n_++] = static_cast<uint8_t>(0x80 + count_);
    out_[n_++] = byte_;
  }
  void FlushLiterals() {
    if (nlit_ == 0) return;
    if (Fits(nlit_ + 1)) {
      out_[n_++] = static_cast<uint8_t>(nlit_);
      for (uint32_t i = 0; i < nlit_; ++i) out_[n_++] = lit_[i];
    }
    nlit_ = 0;
  }

  uint8_t* out_;
  uint32_t size_;
  uint32_t n_ = 0;
  bool failed_ = false;
  uint8_t byte_ = 0;
  uint32_t count_ = 0;
  uint8_t lit_[127] = {};
  uint32_t nlit_ = 0;
};

}  // namespace

uint16_t RleEncode(const uint8_t* data, uint16_t length, uint8_t* out, uint16_t outSize,
                   uint16_t stride) {
  if (length == 0) return 0;
  if (data == nullptr || out == nullptr) return RLE_FAIL;
  Packer packer(out, outSize);
  for (StrideWalk walk(length, stride); !walk.done() && !packer.failed(); walk.Advance()) {
    packer.Byte(data[walk.pos()]);
  }
  if (!packer.failed()) packer.Finish();
  return packer.failed() ? RLE_FAIL : packer.written();
}

uint16_t RleDecode(const uint8_t* in, uint16_t inLength, uint8_t* out, uint16_t outSize,
                   uint16_t stride) {
  if (inLength == 0) return 0;
  if (in == nullptr || (out == nullptr && outSize > 0)) return RLE_FAIL;
  StrideWalk walk(outSize, stride);
  uint32_t total = 0;
  uint32_t i = 0;
  while (i < inLength) {
    if (walk.done()) return RLE_FAIL;
    const uint8_t head = in[i];
    uint32_t count;
    const uint8_t* src;
    bool run = (head & 0x80) != 0;
    if (run) {
      if (inLength - i < 2) return RLE_FAIL;  // cut off: no value byte
      count = head & 0x7F;
      src = &in[i + 1];
      i += 2;
    } else {
      count = head;
      if (inLength - i - 1 < count) return RLE_FAIL;  // cut off literal
      src = &in[i + 1];
      i += 1 + count;
    }
    for (uint32_t k = 0; k < count; ++k) {
      if (walk.done()) return RLE_FAIL;
      out[walk.pos()] = run ? src[0] : src[k];
      walk.Advance();
    }
    total += count;
  }
  return total > 0xFFFE ? RLE_FAIL : static_cast<uint16_t>(total);
}
