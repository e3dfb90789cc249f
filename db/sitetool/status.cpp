#include "status.h"

#include <sqlite3.h>

#include <functional>
#include <string>

namespace drovana::site {
namespace {

std::string Text(sqlite3_stmt* st, int col, const char* none) {
  const unsigned char* t = sqlite3_column_text(st, col);
  if (t == nullptr) return none;
  std::string s(reinterpret_cast<const char*>(t), static_cast<size_t>(sqlite3_column_bytes(st, col)));
  if (s.size() > 50) s.resize(50);
  for (char& c : s)
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  return s;
}

const char* Connected(sqlite3_stmt* st, int col) {
  if (sqlite3_column_type(st, col) == SQLITE_NULL) return "no status row";
  return sqlite3_column_int64(st, col) == 1 ? "connected" : "not connected";
}

void Query(sqlite3* db, const char* sql, const std::function<void(sqlite3_stmt*)>& row) {
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK)
    throw SiteError(std::string("Database read failed: ") + sqlite3_errmsg(db));
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) row(st);
  sqlite3_finalize(st);
  if (rc != SQLITE_DONE) throw SiteError(std::string("Database read failed: ") + sqlite3_errmsg(db));
}

}  // namespace

void PrintPlantStatus(RequestDb& db, std::ostream& out) {
  Query(db.handle(),
        "SELECT n.NodeID, n.NodeName, n.IPAddress, s.ConnectStatus FROM tblNode n "
        "LEFT JOIN tblNodeStatus s ON s.NodeID = n.NodeID ORDER BY n.NodeID",
        [&](sqlite3_stmt* st) {
          out << "node " << sqlite3_column_int64(st, 0) << " " << Text(st, 1, "(no name)") << " "
              << Text(st, 2, "(no address)") << ": " << Connected(st, 3) << "\n";
        });
  Query(db.handle(),
        "SELECT c.RackNumber, c.ZoneParentID, s.ConnectStatus, s.SoftwareVersion FROM tblRackConfig c "
        "LEFT JOIN tblRackStatus s ON s.ZoneID = c.ZoneID ORDER BY c.RackNumber",
        [&](sqlite3_stmt* st) {
          out << "rack " << sqlite3_column_int64(st, 0) << " (zone " << sqlite3_column_int64(st, 1)
              << "): " << Connected(st, 2) << ", version " << Text(st, 3, "unknown") << "\n";
        });
}

}  // namespace drovana::site
