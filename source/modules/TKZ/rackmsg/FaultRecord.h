// FaultRecord: one fault occurrence, as the fault-event decoding of the
// rack-message layer and the node and rack status write-back hand it to the
// document's fault records (CTKZDoc::WriteFaultRecords).
//
// The first nine fields are the columns of one tblFaultStatus row (bound by
// column name); the three description arguments feed the fault type's
// DisplayFormat.  A text argument points at text the caller keeps alive
// until the write returns (the decoding uses constant strings, the status
// write-back a local copy of the node's name).
//
// Ownership: the caller owns an array of records; the fault records only
// read it.  No thread of its own: built and consumed on the UI thread.
#pragma once

#include <cstdint>

// The server's own fault types.
inline constexpr int16_t FAULT_TYPE_RACK_DOWN = 1000;
inline constexpr int16_t FAULT_TYPE_NODE_DOWN = 1001;
// A record the fault records skip.
inline constexpr int16_t FAULT_TYPE_IGNORE = -1;
// RackNumber of a node's record is this plus the node id.
inline constexpr int32_t kFaultNodeBase = 1000;
// Highest rack number; a RackNumber above it names a node.
inline constexpr int32_t kFaultMaxRack = 256;
// Bytes of the Description column with its NUL.
inline constexpr int kFaultDescriptionSize = 255;

// An OLE date-time (days since 1899-12-30, local time) with its validity
// status (0 = valid).  Zero is the value 0 with a valid status.
struct FaultDate {
  double days = 0.0;
  int32_t status = 0;
  bool IsZero() const { return days == 0.0 && status == 0; }
};

// One description argument: none, a number, or a text.
struct FaultArg {
  enum class Kind : uint8_t { kNone, kNumber, kText };
  Kind kind = Kind::kNone;
  int32_t number = 0;
  const char* text = nullptr;  // not owned

  static FaultArg Number(int32_t n) { return {Kind::kNumber, n, nullptr}; }
  static FaultArg Text(const char* t) { return {Kind::kText, 0, t}; }
};

struct FaultRecord {
  int16_t FaultType = 0;     // key of tblFaultType; FAULT_TYPE_IGNORE = skip
  int16_t RackNumber = 0;    // 1 to 256 a rack; above 256 a node (id = RackNumber - 1000)
  int16_t DimmerNumber = 0;  // 0 where none
  int32_t CircuitNumber = 0;
  FaultDate AriseTimestamp;    // not zero: this record raises the fault
  FaultDate SubsideTimestamp;  // not zero: this record subsides it
  int16_t Diag1 = 0;
  int16_t Diag2 = 0;
  char Description[kFaultDescriptionSize] = {};  // filled by the fault records
  FaultArg args[3];
};
