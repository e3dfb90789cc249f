#include "RcCodes.h"

namespace {

constexpr const char* kServerTexts[] = {
    "???",
    "message flushed when node when down or TKZ shutdown",
    "Couldn't find node for specified rack",
    "Caught an DataBase exception while processing request",
    "User curve has too many points",
    "Couldn't log into IO_FTP on node",
    "Couldn't open specified file",
    "Couldn't read specified file",
    "Couldn't close specified file",
    "Communications failure with node",
    "Not currently logged into IO_FTP server",
    "Node offline, disabled, or unknown",
    "Couldn't find specified rack",
    "Invalid message received from node",
    "Rack offline",
    "Response too large",
    "Switch not controllable",
    "Cancelled by user",
    "Cancelled by TKZ shutdown",
    "Timeout waiting for response from node",
    "Rack unavailable while learning",
    "Duplicate Circuit ID",
};
static_assert(sizeof kServerTexts / sizeof kServerTexts[0] == RC_DUPLICATE_CIRCUIT - 0x400 + 1);

constexpr const char* kLinkTexts[] = {
    "IO_KRN: No response from rack",
    "IO_KRN: Invalid address",
    "IO_KRN: Invalid frame control byte",
    "IO_KRN: response too long",
    "IO_KRN: Invalid Atype received",
    "IO_KRN: Out of buffer space",
    "IO_KRN: CRC error",
    "IO_KRN: No slots",
    "IO_KRN: Buffer overflow",
};
static_assert(sizeof kLinkTexts / sizeof kLinkTexts[0] == IO_KRN_BUFFER_OVERFLOW - IO_KRN_NO_RESPONSE + 1);

}  // namespace

const char* RcodeText(uint16_t rc) {
  if (rc >= 0x400 && rc <= RC_DUPLICATE_CIRCUIT) return kServerTexts[rc - 0x400];
  if (IsLinkRcode(rc)) return kLinkTexts[rc - IO_KRN_NO_RESPONSE];
  return nullptr;
}
