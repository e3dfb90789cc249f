// A database with the small test schema, opened through the layer.
#pragma once

#include <gtest/gtest.h>

#include "dao/database.h"
#include "dao/errors.h"
#include "testdb.h"

namespace dao::test {

// Expects the statement to throw dao::Error with the engine error number n.
#define EXPECT_DAO_ERROR(stmt, n)                                                   \
  do {                                                                              \
    try {                                                                           \
      stmt;                                                                         \
      ADD_FAILURE() << "no error from " #stmt;                                      \
    } catch (const ::dao::Error& e_) {                                              \
      EXPECT_EQ(e_.number(), (n)) << e_.description();                              \
      EXPECT_EQ(e_.code(), ::dao::Code(static_cast<uint16_t>(n)));                  \
    }                                                                               \
  } while (0)

class DbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.File("site.mdb");
    MakeDb(path_, kTestSchema);
    DatabaseOptions o;
    o.busy_timeout_ms = 2000;
    o.clock = [this] { return now_; };
    db_ = std::make_unique<Database>(Database::Open(path_, o));
  }
  Database& db() { return *db_; }

  TempDir dir_;
  std::string path_;
  OleDate now_{38000.5};
  std::unique_ptr<Database> db_;
};

}  // namespace dao::test
