// Errors of the database layer: every failing call throws dao::Error, which
// carries a 32-bit automation-style result code (facility 10, the engine's
// error number in the low 16 bits) and a description.  Callers log the low
// 16 bits.  Descriptions never contain passwords.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace dao {

// Result code of engine error number n: 0x800A0000 | n.
constexpr uint32_t Code(uint16_t n) { return 0x800A0000u | n; }

// Engine error numbers used by this layer.
enum : uint16_t {
  kErrReserved = 3000,          // an SQL text the engine cannot take
  kErrInvalidArgument = 3001,   // a misuse of the API (bad binding, wrong mode)
  kErrNoCurrentRecord = 3021,   // no current record (BOF/EOF, or moved past)
  kErrDuplicateKey = 3022,      // duplicate value in a unique index or key
  kErrCannotFindFile = 3024,    // database or workgroup file missing
  kErrReadOnly = 3027,          // column or recordset cannot be updated
  kErrWorkgroup = 3028,         // workgroup file missing or not a workgroup
  kErrInvalidAccount = 3029,    // not a valid account name or password
  kErrDiskIo = 3043,            // disk or I/O error
  kErrCorrupt = 3049,           // database file damaged
  kErrTooFewParameters = 3061,  // a parameter of the query has no value
  kErrUnknownField = 3070,      // a column named in the SQL does not exist
  kErrUnknownTable = 3078,      // a table or query named does not exist
  kErrFieldTooSmall = 3163,     // a text longer than the column's width
  kErrRecordDeleted = 3167,     // the row was deleted since the recordset was filled
  kErrNotInUpdate = 3020,       // Update or SetField without Edit or AddNew
  kErrLocked = 3260,            // the database is busy (write lock held elsewhere)
  kErrItemNotFound = 3265,      // item not found in this collection (0x800A0CC1)
  kErrNullValue = 3314,         // a required column was left empty
  kErrValidation = 3317,        // a value is refused by a validation rule
  kErrNotDatabase = 3343,       // the file is not a database
  kErrConversion = 3421,        // data type conversion error
};

class Error : public std::runtime_error {
 public:
  Error(uint32_t code, std::string description)
      : std::runtime_error(description), code_(code), description_(std::move(description)) {}

  uint32_t code() const { return code_; }
  // The engine's error number, as the system's log lines print it.
  int number() const { return static_cast<int>(code_ & 0xFFFFu); }
  const std::string& description() const { return description_; }

 private:
  uint32_t code_;
  std::string description_;
};

[[noreturn]] void Throw(uint16_t number, std::string description);

}  // namespace dao
