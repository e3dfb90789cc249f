// Validators, version texts and their keys, IpcTime arithmetic.
#include "ipccheck.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ipc_fixture.h"
#include "ipcproc.h"

namespace {

using ipctest::LibFixture;
using ipctest::TakeReports;

// Ascending order: every earlier entry is strictly below every later one.
const std::vector<std::string> kAscending = {
    "1a1",     // letter separator sorts below '.'
    "1.1-",    // minus below plain
    "1.1",     "1.1+", "1.1a",  // plus below a trailing letter
    "1.2z",
    "1.3C",    // an upper-case letter stays after the minor digits
    "1.3",     "1.3c", "1.5",
    "2a0",     "9.9",
    "020615",  // a date sorts above every one-digit major ...
    "10.1",    // ... and by plain characters against two-digit majors
    "99.99",
};

TEST(VersionKey, OrderedTableIsStrictPairwise) {
  for (size_t i = 0; i < kAscending.size(); ++i) {
    for (size_t j = 0; j < kAscending.size(); ++j) {
      const char* a = kAscending[i].c_str();
      const char* b = kAscending[j].c_str();
      EXPECT_EQ(ipc::IpcVersionOrder(a, b), i <= j) << a << " <= " << b;
    }
  }
}

TEST(VersionKey, KeysOfTheDocumentedForms) {
  struct Case {
    const char* version;
    const char* key;
  } cases[] = {
      {"1.3c", " 103c{2"},   {"1.1", " 101`{2"},   {"2a0", " 200`a2"},
      {"1.3C", " 103C`{2"},  {"1.1-", " 101`{1"},  {"1.1+", " 101`{3"},
      {"020615", "020615"},  {"10.1", "1001`{2"},
      // The longest keys a valid 7-character text gives.
      {"1.12345", " 112345`{2"}, {"12345.6", "1234506`{2"}, {"1.1234C", " 11234C`{2"},
  };
  for (const Case& c : cases) {
    char key[ipc::kIpcVersionKeySize];
    std::memset(key, 'X', sizeof key);
    ASSERT_TRUE(ipc::IpcVersionKey(c.version, key)) << c.version;
    EXPECT_STREQ(key, c.key) << c.version;
  }
}

TEST(VersionForm, ValidityTable) {
  struct Case {
    const char* text;
    bool valid;
  } cases[] = {
      {"1.3c", true},    {"1.1", true},     {"1.5", true},    {"2a0", true},
      {"020615", true},  {"1.3C", true},    {"1.1+", true},   {"1.1-", true},
      {"1.1a+", true},   {"10.1", true},    {"1.12345", true},
      {"", false},       {"10.3c+", false},  // six characters, not a date
      {"02061a", false}, {"1.1234", false},  // six characters, not a date
      {"1", false},      {"1.", false},     {".1", false},    {"a.1", false},
      {"1.1ab", false},  {"1.1+-", false},  {"1.1 ", false},  {"1.1+a", false},
      {"1..1", false},   {"12345678", false},
  };
  for (const Case& c : cases) EXPECT_EQ(ipc::IpcVersionFormValid(c.text), c.valid) << '"' << c.text << '"';
}

TEST(VersionForm, FieldWithoutNulIsInvalidAndNotReadBeyondEightBytes) {
  // Exactly 8 bytes on the heap: a read past them is caught by ASan.
  auto field = std::make_unique<char[]>(8);
  std::memcpy(field.get(), "1.1aaaaa", 8);
  EXPECT_FALSE(ipc::IpcVersionFormValid(field.get()));
  std::memcpy(field.get(), "020615xx", 8);
  EXPECT_FALSE(ipc::IpcVersionFormValid(field.get()));
  char key[ipc::kIpcVersionKeySize];
  EXPECT_FALSE(ipc::IpcVersionKey(field.get(), key));
  EXPECT_STREQ(key, "");

  // Seven characters and the NUL fill the field and are valid.
  std::memcpy(field.get(), "1.12345", 8);
  EXPECT_TRUE(ipc::IpcVersionFormValid(field.get()));
}

TEST(VersionCopy, StopsAtNulAndPadsWithZeros) {
  char dst[IPC_VERSION_SIZE];
  std::memset(dst, 'X', sizeof dst);
  ipc::IpcVersionCopy(dst, "1.3c");  // a 5-byte literal: nothing past it is read
  EXPECT_EQ(std::memcmp(dst, "1.3c\0\0\0\0", 8), 0);
  ipc::IpcVersionCopy(dst, nullptr);
  EXPECT_EQ(std::memcmp(dst, "\0\0\0\0\0\0\0\0", 8), 0);
}

class CheckReports : public LibFixture {};

TEST_F(CheckReports, VersionInRangeReportsTheInvalidText) {
  EXPECT_TRUE(ipc::IpcVersionInRange("1.3c", "1.3c", "020615"));
  EXPECT_TRUE(ipc::IpcVersionInRange("1.5", "1.3c", "020615"));
  EXPECT_TRUE(ipc::IpcVersionInRange("020615", "1.3c", "020615"));
  EXPECT_FALSE(ipc::IpcVersionInRange("1.1", "1.3c", "020615"));
  EXPECT_TRUE(TakeReports().empty());  // out of range is not an error

  const char* bad[][3] = {{"10.3c+", "1.3c", "020615"},
                          {"1.5", nullptr, "020615"},
                          {"1.5", "1.3c", ""}};
  for (auto& args : bad) {
    EXPECT_FALSE(ipc::IpcVersionInRange(args[0], args[1], args[2]));
    auto r = TakeReports();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].ErrCode, IPC_ERR_VERSION);
    EXPECT_EQ(r[0].hdr.evntCode, IPC_SEV_ARG + 1);
    EXPECT_STREQ(r[0].file, "ipccheck");
  }
  EXPECT_FALSE(ipc::IpcVersionValid(nullptr));
  EXPECT_EQ(TakeReports().size(), 1u);
  EXPECT_FALSE(ipc::IpcVersionValid("1."));  // a bad form alone is not reported
  EXPECT_TRUE(TakeReports().empty());
}

TEST_F(CheckReports, ServerIndexBoundaries) {
  struct Case {
    uint8_t type, indx;
    bool valid;
  } cases[] = {
      {IPC_SVR_IO_KRN, 1, true},   {IPC_SVR_IO_KRN, 100, true}, {IPC_SVR_IO_KRN, 101, false},
      {IPC_SVR_IO_KRN, 0, false},  {IPC_SVR_IO_FTP, 100, true}, {IPC_SVR_IO_FTP, 101, false},
      {IPC_SVR_ROUTER, 1, true},   {IPC_SVR_ROUTER, 2, false},  {IPC_SVR_LOG, 1, true},
      {IPC_SVR_LOG, 2, false},     {IPC_SVR_AUX, 1, true},      {IPC_SVR_AUX, 0, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ipc::IpcSvrIndxValid(c.type, c.indx), c.valid) << int(c.type) << "/" << int(c.indx);
  }
  EXPECT_TRUE(TakeReports().empty());  // a bad index of a good type is quiet

  for (uint8_t type : {0, 2, 17, 19, 20, 23, 255}) {
    EXPECT_FALSE(ipc::IpcSvrTypeValid(type));
    EXPECT_FALSE(ipc::IpcSvrIndxValid(type, 1));
    auto r = TakeReports();
    ASSERT_EQ(r.size(), 1u) << int(type);
    EXPECT_EQ(r[0].ErrCode, IPC_ERR_SVR_TYPE);
    EXPECT_EQ(r[0].hdr.evntCode, IPC_SEV_ARG + 1);
  }
}

TEST_F(CheckReports, EventCodeBoundaries) {
  struct Case {
    uint8_t type;
    uint16_t code;
    bool valid;
  } cases[] = {
      {IPC_SVR_LOG, 0, false},      {IPC_SVR_LOG, 1, true},       {IPC_SVR_LOG, 8, true},
      {IPC_SVR_LOG, 9, false},      {IPC_SVR_LOG, 256, false},    {IPC_SVR_IO_KRN, 8, false},
      {IPC_SVR_IO_KRN, 255, false}, {IPC_SVR_IO_KRN, 256, true},  {IPC_SVR_IO_KRN, 456, true},
      {IPC_SVR_IO_KRN, 457, false}, {IPC_SVR_ROUTER, 261, true},  {IPC_SVR_AUX, 456, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ipc::IpcEvntCodeValid(c.type, c.code), c.valid) << int(c.type) << "/" << c.code;
  }
  EXPECT_TRUE(TakeReports().empty());
  EXPECT_FALSE(ipc::IpcEvntCodeValid(3, 300));
  auto r = TakeReports();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].ErrCode, IPC_ERR_SVR_TYPE);
}

TEST(Validators, ScalarBoundaries) {
  EXPECT_TRUE(IpcNetNodeIndxValid(0));
  EXPECT_TRUE(IpcNetNodeIndxValid(99));
  EXPECT_FALSE(IpcNetNodeIndxValid(100));
  EXPECT_FALSE(IpcNetNodeIndxValid(255));
  EXPECT_FALSE(IpcNetAddrValid(0));
  EXPECT_TRUE(IpcNetAddrValid(1));
  EXPECT_FALSE(ipc::IpcClntHandleValid(0));
  EXPECT_TRUE(ipc::IpcClntHandleValid(16));
  EXPECT_FALSE(ipc::IpcClntHandleValid(17));
  // The socket table numbers its entries 1 to 100; 0 is "no socket".
  EXPECT_TRUE(ipc::IpcSockIndxValid(0));
  EXPECT_TRUE(ipc::IpcSockIndxValid(100));
  EXPECT_FALSE(ipc::IpcSockIndxValid(101));
  EXPECT_FALSE(ipc::IpcNodeTypeValid(0));
  EXPECT_TRUE(ipc::IpcNodeTypeValid(25));
  EXPECT_FALSE(ipc::IpcNodeTypeValid(26));
  EXPECT_FALSE(ipc::IpcPktKindValid(0));
  EXPECT_TRUE(ipc::IpcPktKindValid(7));
  EXPECT_FALSE(ipc::IpcPktKindValid(8));
  EXPECT_TRUE(ipc::IpcHostKindIsLocal(1));
  EXPECT_FALSE(ipc::IpcHostKindIsLocal(4));
}

TEST(IpcTimeArithmetic, HundredthsWithinTheHourWithOneWrap) {
  struct Case {
    IpcTime from, to;
    uint32_t interval;
  } cases[] = {
      {IPC_TIME_MAKE(5, 10, 20, 30), IPC_TIME_MAKE(5, 10, 20, 30), 0},
      {IPC_TIME_MAKE(5, 1, 0, 0), IPC_TIME_MAKE(5, 1, 1, 50), 150},
      {IPC_TIME_MAKE(5, 0, 0, 0), IPC_TIME_MAKE(5, 59, 59, 99), 359999},
      {IPC_TIME_MAKE(5, 59, 59, 99), IPC_TIME_MAKE(6, 0, 0, 1), 2},  // across the hour
      {IPC_TIME_MAKE(3, 20, 0, 0), IPC_TIME_MAKE(9, 20, 0, 0), 0},   // the hour is ignored
      {IPC_TIME_MAKE(0, 30, 0, 0), IPC_TIME_MAKE(0, 29, 59, 99), 359999},
  };
  for (const Case& c : cases) EXPECT_EQ(ipc::IpcTimeInterval(c.from, c.to), c.interval);
  EXPECT_EQ(ipc::IpcTimeHundredths(IPC_TIME_MAKE(1, 2, 3, 4)), 2u * 6000 + 3 * 100 + 4);
  // Fields out of range still give a time within the hour.
  EXPECT_LT(ipc::IpcTimeHundredths(IPC_TIME_MAKE(255, 255, 255, 255)), ipc::kIpcHourHundredths);
  EXPECT_LT(ipc::IpcTimeInterval(IPC_TIME_MAKE(0, 255, 0, 0), 0), ipc::kIpcHourHundredths);
}

}  // namespace
