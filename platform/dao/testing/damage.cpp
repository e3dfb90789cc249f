#include "damage.h"

#include <sqlite3.h>

#include <cstdio>
#include <vector>

namespace dao::testing {

std::string DamageSecondRowKey(const std::string& path, const std::string& table) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return "cannot open " + path;
  }
  int root = 0;
  sqlite3_stmt* s = nullptr;
  sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE);", nullptr, nullptr, nullptr);
  if (sqlite3_prepare_v2(db, "SELECT rootpage FROM sqlite_schema WHERE type = 'table' AND name = ?1", -1, &s,
                         nullptr) == SQLITE_OK) {
    sqlite3_bind_text(s, 1, table.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(s) == SQLITE_ROW) root = sqlite3_column_int(s, 0);
  }
  sqlite3_finalize(s);
  sqlite3_close(db);
  if (root < 2) return "no table " + table;

  std::FILE* f = std::fopen(path.c_str(), "r+b");
  if (f == nullptr) return "cannot write " + path;
  unsigned char head[18] = {};
  std::vector<unsigned char> page;
  std::string why;
  if (std::fread(head, 1, sizeof head, f) == sizeof head) {
    const long size = head[16] << 8 | head[17];
    page.resize(static_cast<size_t>(size));
    std::fseek(f, size * (root - 1), SEEK_SET);
    if (std::fread(page.data(), 1, page.size(), f) != page.size()) why = "short page";
    if (why.empty() && (page[0] != 13 || (page[3] << 8 | page[4]) != 3)) why = "not a leaf of three rows";
    if (why.empty()) {
      // The second cell: its payload size (a varint), then its key.
      size_t at = static_cast<size_t>(page[10] << 8 | page[11]);
      while (at < page.size() && (page[at] & 0x80) != 0) ++at;
      ++at;
      if (at >= page.size() || page[at] >= 0x7F) {
        why = "unexpected cell";
      } else {
        page[at] = 0x7F;
        std::fseek(f, size * (root - 1), SEEK_SET);
        if (std::fwrite(page.data(), 1, page.size(), f) != page.size()) why = "short write";
      }
    }
  } else {
    why = "short header";
  }
  std::fclose(f);
  return why;
}

}  // namespace dao::testing
