// The mux-type and level lookup tables: read from the database once by the
// open sequence and handed to the rack-message layer's tables (theComm).
// UI thread only.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "Comm.h"
#include "Doc.h"
#include "LogSink.h"
#include "LookupTables.h"
#include "dao/binding.h"
#include "dao/database.h"
#include "dao/errors.h"
#include "dao/querydef.h"
#include "dao/recordset.h"

namespace {

// Line numbers of the "doc.cpp#%d" error texts of the two loads.
constexpr int kLineLoadMuxTypes = 7012;
constexpr int kLineLoadLevelTable = 7060;

constexpr size_t kLevelRows = LevelTable::kLevels;

#pragma pack(push, 1)
struct MuxTypeRow {
  int16_t MuxType;
  int16_t MuxProtocol;
  int32_t MuxSpeed;
};
#pragma pack(pop)

constexpr dao::Binding kMuxTypeBindings[] = {
    {"MuxType", dao::BindType::kI16, offsetof(MuxTypeRow, MuxType), 2},
    {"MuxProtocol", dao::BindType::kI16, offsetof(MuxTypeRow, MuxProtocol), 2},
    {"MuxSpeed", dao::BindType::kI32, offsetof(MuxTypeRow, MuxSpeed), 4},
};

static_assert(sizeof(LevelRow) == 4 && offsetof(LevelRow, Percent) == 2);
constexpr dao::Binding kLevelBindings[] = {
    {"Level", dao::BindType::kI16, offsetof(LevelRow, Level), 2},
    {"Percent", dao::BindType::kI16, offsetof(LevelRow, Percent), 2},
};

}  // namespace

// Every tblMuxType row goes into the mux-type table (low bytes of its speed
// and protocol); rows past the table's sixteen slots are dropped there.
void CTKZDoc::LoadMuxTypes() {
  int loaded = 0;
  try {
    dao::Recordset rs = StepDb().OpenTable("tblMuxType");
    if (!rs.IsEOF()) rs.MoveFirst();
    for (; !rs.IsEOF(); rs.MoveNext()) {
      MuxTypeRow row{};
      rs.ReadRow(&row, sizeof row, kMuxTypeBindings);
      theComm.AddMuxType(row.MuxType, static_cast<uint8_t>(row.MuxSpeed), static_cast<uint8_t>(row.MuxProtocol));
      ++loaded;
    }
  } catch (const dao::Error& e) {
    LogDbError(kLineLoadMuxTypes, e);
  }
  LogPrintf("Loaded %d MuxTypes.\n", loaded);
}

// Up to 256 rows of TKZqryLevel2Percent, in Level order, build both level
// tables; with a database error the tables keep what they held.
void CTKZDoc::LoadLevelTable() {
  try {
    dao::QueryDef q = StepDb().QueryDefs("TKZqryLevel2Percent");
    dao::Recordset rs = q.OpenRecordset();
    std::vector<LevelRow> rows(kLevelRows);
    const size_t n = rs.GetRows(rows.data(), sizeof(LevelRow), kLevelRows, kLevelBindings);
    rows.resize(n);
    theComm.BuildLevelTables(rows);
  } catch (const dao::Error& e) {
    LogDbError(kLineLoadLevelTable, e);
  }
  LogPrintf("Loaded Level lookup table.\n");
}
