#include <cstring>

#include "fixture.h"
#include "rowcodec.h"

namespace dao::test {
namespace {

#pragma pack(push, 1)
struct Row {
  int32_t id;
  char text[6];
  int16_t small;
  uint8_t byte;
  double date;
  uint32_t status;  // after the date: zeroed by a 12-byte date binding
};
#pragma pack(pop)

const Binding kRowBindings[] = {
    {"p", BindType::kI32, offsetof(Row, id), 4},
    {"T", BindType::kText, offsetof(Row, text), 6},
    {"s", BindType::kI16, offsetof(Row, small), 2},
    {"b", BindType::kU8, offsetof(Row, byte), 1},
    {"d", BindType::kDate, offsetof(Row, date), 12},
};

class BindingTest : public DbTest {
 protected:
  Row Read(const std::string& values) {
    Recordset rs = db().OpenRecordset("SELECT ParentID AS p, Label AS t, Level AS s, Level AS b, Stamp AS d "
                                      "FROM tblParent INNER JOIN tblTKZRequest ON RID = ParentID");
    (void)rs;
    RunSql(path_, "DELETE FROM tblParent; DELETE FROM tblTKZRequest; " + values);
    rs.Requery();
    Row r;
    std::memset(&r, 0xAB, sizeof r);
    rs.ReadRow(&r, sizeof r, kRowBindings);
    return r;
  }
};

TEST_F(BindingTest, EveryTypeReadsIntoItsPlace) {
  Row r = Read("INSERT INTO tblParent VALUES (7, 'abc', 300); INSERT INTO tblTKZRequest (RID, Stamp) VALUES (7, 38022.5);");
  EXPECT_EQ(+r.id, 7);
  EXPECT_EQ(std::string(r.text), "abc");
  EXPECT_EQ(std::memcmp(r.text + 3, "\0\0\0", 3), 0);  // NUL-padded
  EXPECT_EQ(+r.small, 300);
  EXPECT_EQ(+r.byte, 255);  // 300 does not fit a byte: saturates
  EXPECT_DOUBLE_EQ(+r.date, 38022.5);
  EXPECT_EQ(+r.status, 0u);
}

TEST_F(BindingTest, NullsReadAsZeroEmptyAndTheZeroDate) {
  Row r = Read("INSERT INTO tblParent VALUES (1, NULL, NULL); INSERT INTO tblTKZRequest (RID) VALUES (1);");
  EXPECT_EQ(+r.text[0], '\0');
  EXPECT_EQ(+r.small, 0);
  EXPECT_EQ(+r.byte, 0);
  EXPECT_EQ(+r.date, 0.0);
  EXPECT_EQ(+r.status, 0u);
}

TEST_F(BindingTest, IntegersSaturateAndTrueReadsAsFF) {
  struct Case {
    long long stored;
    int16_t small;
    uint8_t byte;
  } cases[] = {
      {-1, -1, 0xFF}, {0, 0, 0}, {255, 255, 255}, {-128, -128, 0x80},
      {-129, -129, 0x80}, {40000, 32767, 255}, {-40000, -32768, 0x80},
  };
  for (const Case& c : cases) {
    Row r = Read("INSERT INTO tblParent VALUES (1, 'x', " + std::to_string(c.stored) +
                 "); INSERT INTO tblTKZRequest (RID) VALUES (1);");
    EXPECT_EQ(+r.small, c.small) << c.stored;
    EXPECT_EQ(+r.byte, c.byte) << c.stored;
  }
}

TEST_F(BindingTest, TextIsCutAtTheBoundSizeWithoutSplittingUtf8) {
  struct Case {
    const char* stored;
    const char* read;  // 6-byte field: at most 5 bytes kept
  } cases[] = {
      {"abcde", "abcde"},
      {"abcdefgh", "abcde"},
      {"abcd\xC3\xA9", "abcd"},          // 2-byte sequence would straddle the cut
      {"ab\xE2\x82\xAC" "cd", "ab\xE2\x82\xAC"},  // 3-byte sequence fits whole
      {"abc\xE2\x82\xAC", "abc"},        // 3-byte sequence straddles
      {"\xF0\x9F\x98\x80x", "\xF0\x9F\x98\x80x"},
  };
  for (const Case& c : cases) {
    Row r = Read(std::string("INSERT INTO tblParent VALUES (1, '") + c.stored +
                 "', 0); INSERT INTO tblTKZRequest (RID) VALUES (1);");
    EXPECT_EQ(std::string(r.text), c.read) << c.stored;
  }
}

TEST(Utf8Cut, NeverEndsInsideASequence) {
  const std::string s = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  const size_t ok[] = {0, 1, 1, 3, 3, 3, 6, 6, 6, 6, 10};
  for (size_t max = 0; max <= s.size(); ++max) EXPECT_EQ(Utf8Cut(s, max), ok[max]) << max;
}

TEST_F(BindingTest, BadBindingsAreRefused) {
  RunSql(path_, "INSERT INTO tblParent VALUES (1, 'x', 0); INSERT INTO tblTKZRequest (RID) VALUES (1);");
  Recordset rs = db().OpenRecordset("SELECT * FROM tblParent");
  char buf[8];
  const Binding unknown[] = {{"NoSuchColumn", BindType::kI32, 0, 4}};
  EXPECT_DAO_ERROR(rs.ReadRow(buf, sizeof buf, unknown), kErrItemNotFound);
  const Binding outside[] = {{"ParentID", BindType::kI32, 6, 4}};
  EXPECT_DAO_ERROR(rs.ReadRow(buf, sizeof buf, outside), kErrInvalidArgument);
  const Binding wrong_size[] = {{"ParentID", BindType::kI16, 0, 4}};
  EXPECT_DAO_ERROR(rs.ReadRow(buf, sizeof buf, wrong_size), kErrInvalidArgument);
  const Binding short_date[] = {{"Level", BindType::kDate, 0, 4}};
  EXPECT_DAO_ERROR(rs.ReadRow(buf, sizeof buf, short_date), kErrInvalidArgument);
  const Binding case_blind[] = {{"PARENTID", BindType::kI32, 0, 4}};
  rs.ReadRow(buf, sizeof buf, case_blind);
  int32_t id;
  std::memcpy(&id, buf, 4);
  EXPECT_EQ(id, 1);
}

}  // namespace
}  // namespace dao::test
