// The site database's schema (db/schema.sql, embedded at build time) and the
// server's stored queries with their verbatim Jet SQL.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace drovana::db {

// The text of db/schema.sql.
std::string_view SchemaSql();

struct StoredQuery {
  const char* name;
  const char* sql;  // Jet SQL, exactly as it is created in the database
};

// The server's 53 stored queries, in table order.
std::span<const StoredQuery> StoredQueries();

}  // namespace drovana::db
