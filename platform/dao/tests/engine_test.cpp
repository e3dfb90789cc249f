#include <fstream>
#include <iterator>

#include "dao/engine.h"
#include "dao/workgroup.h"
#include "fixture.h"

namespace dao::test {
namespace {

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mdw_ = dir_.File("site.mdw");
    WorkgroupWriter w = WorkgroupWriter::Create(mdw_);
    w.AddGroup("Users");
    w.AddGroup("Administrators");
    w.AddGroup("administrators");
    w.AddUser("TKZ", "vqd");
    w.AddUser("Alice", "s3cret pass");
    w.AddUser("Bob", "bobpw");
    w.AddMembership("TKZ", "Users");
    w.AddMembership("Alice", "Users");
    w.AddMembership("Alice", "Administrators");
    w.AddMembership("bob", "administrators");
    engine_.SetSystemDatabase(mdw_);
  }
  TempDir dir_;
  std::string mdw_;
  Engine engine_;
};

TEST_F(EngineTest, WorkspaceForAValidAccountListsUsersAndOrderedGroups) {
  engine_.Start();
  Workspace ws = engine_.CreateWorkspace("", "tkz", "vqd");  // user names ignore case
  EXPECT_EQ(ws.UserName(), "TKZ");
  EXPECT_EQ(ws.UserCount(), 3);
  User alice = ws.Users("ALICE");
  EXPECT_EQ(alice.Name(), "Alice");
  ASSERT_EQ(alice.GroupCount(), 2);
  EXPECT_EQ(alice.GroupName(0), "Users");
  EXPECT_EQ(alice.GroupName(1), "Administrators");
  EXPECT_DAO_ERROR(alice.GroupName(2), kErrItemNotFound);
  EXPECT_EQ(ws.Users("bob").GroupName(0), "administrators");  // group names keep their case
  EXPECT_DAO_ERROR(ws.Users("Carol"), kErrItemNotFound);
}

TEST_F(EngineTest, WrongPasswordUnknownUserAndBadWorkgroupFiles) {
  EXPECT_DAO_ERROR(engine_.CreateWorkspace("", "TKZ", "VQD"), kErrInvalidAccount);  // passwords keep case
  EXPECT_DAO_ERROR(engine_.CreateWorkspace("", "TKZ", ""), kErrInvalidAccount);
  EXPECT_DAO_ERROR(engine_.CreateWorkspace("", "Nobody", "vqd"), kErrInvalidAccount);
  EXPECT_DAO_ERROR(engine_.CreateWorkspace("", "", ""), kErrInvalidAccount);
  try {
    engine_.CreateWorkspace("", "Alice", "wrong guess");
  } catch (const Error& e) {
    EXPECT_EQ(e.description(), "Not a valid account name or password.");
    EXPECT_EQ(e.code(), 0x800A0BD5u);
  }

  Engine missing;
  missing.SetSystemDatabase(dir_.File("none.mdw"));
  EXPECT_DAO_ERROR(missing.Start(), kErrCannotFindFile);
  EXPECT_DAO_ERROR(missing.CreateWorkspace("", "TKZ", "vqd"), kErrCannotFindFile);
  Engine not_workgroup;
  std::string db = dir_.File("plain.mdb");
  MakeDb(db, "CREATE TABLE t (a INTEGER);");
  not_workgroup.SetSystemDatabase(db);
  EXPECT_DAO_ERROR(not_workgroup.Start(), kErrWorkgroup);
  std::ofstream(dir_.File("junk.mdw")) << "junk junk junk junk junk";
  not_workgroup.SetSystemDatabase(dir_.File("junk.mdw"));
  EXPECT_DAO_ERROR(not_workgroup.CreateWorkspace("", "TKZ", "vqd"), kErrWorkgroup);
}

TEST_F(EngineTest, PasswordsAreStoredOnlyAsCryptHashes) {
  std::ifstream in(mdw_, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(bytes.find("s3cret pass"), std::string::npos);
  EXPECT_EQ(bytes.find("bobpw"), std::string::npos);
  std::string hash = QueryText(mdw_, "SELECT PasswordHash FROM wgUser WHERE Name = 'Alice'");
  EXPECT_TRUE(hash.rfind("$y$", 0) == 0 || hash.rfind("$6$", 0) == 0) << hash;
  EXPECT_NE(hash, QueryText(mdw_, "SELECT PasswordHash FROM wgUser WHERE Name = 'Bob'"));
  EXPECT_TRUE(VerifyPassword("s3cret pass", hash));
  EXPECT_FALSE(VerifyPassword("s3cret pas", hash));
  EXPECT_NE(HashPassword("x"), HashPassword("x"));  // fresh salt each time
  EXPECT_FALSE(VerifyPassword("x", "plain text"));
}

TEST_F(EngineTest, WorkgroupWriterRefusesToOverwriteAndDuplicates) {
  EXPECT_DAO_ERROR(WorkgroupWriter::Create(mdw_), kErrDuplicateKey);
  WorkgroupWriter w = WorkgroupWriter::Open(mdw_);
  EXPECT_DAO_ERROR(w.AddUser("alice", "x"), kErrDuplicateKey);
  EXPECT_DAO_ERROR(w.AddGroup("Users"), kErrDuplicateKey);
  EXPECT_DAO_ERROR(w.AddMembership("Alice", "Users"), kErrDuplicateKey);
  EXPECT_DAO_ERROR(w.AddMembership("Nobody", "Users"), kErrItemNotFound);
  w.SetPassword("Bob", "newpw");
  EXPECT_NO_THROW(engine_.CreateWorkspace("", "Bob", "newpw"));
  EXPECT_DAO_ERROR(engine_.CreateWorkspace("", "Bob", "bobpw"), kErrInvalidAccount);
}

}  // namespace
}  // namespace dao::test
