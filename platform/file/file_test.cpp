#include "platform/file/file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "FileSizeLimit.h"

namespace fs = std::filesystem;
using drovana::test::FileSizeLimit;
using platform::file::AppendFile;
using platform::file::ReadRegularFile;
using platform::file::ReadResult;

namespace {

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/file_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }
  static std::string Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  fs::path dir_;
};

// Whatever stands under the name, the read ends at once and holds nothing
// it should not.
TEST_F(FileTest, OnlyARegularFileWithinTheBoundIsRead) {
  const fs::path fifo = dir_ / "fifo", zero = dir_ / "zero", big = dir_ / "big",
                 exact = dir_ / "exact", linked = dir_ / "linked";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  fs::create_symlink("/dev/zero", zero);
  std::ofstream(big) << std::string(101, 'x');
  std::ofstream(exact) << std::string(100, 'y');
  fs::create_symlink(exact, linked);
  fs::create_symlink(dir_ / "loop", dir_ / "loop");
  struct Case {
    const char* name;
    fs::path path;
    ReadResult result;
    size_t size;
  } cases[] = {
      {"missing", dir_ / "none", ReadResult::kMissing, 0},
      {"directory", dir_, ReadResult::kNotRegular, 0},
      {"FIFO without a writer", fifo, ReadResult::kNotRegular, 0},
      {"link to /dev/zero", zero, ReadResult::kNotRegular, 0},
      {"one byte over the bound", big, ReadResult::kTooLarge, 0},
      {"exactly the bound", exact, ReadResult::kOk, 100},
      {"link to a regular file", linked, ReadResult::kOk, 100},
      {"below a file", exact / "x", ReadResult::kMissing, 0},
      {"link to itself", dir_ / "loop", ReadResult::kFailed, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out = "left over";
    int error = -1;
    EXPECT_EQ(ReadRegularFile(c.path, 100, out, error), c.result);
    EXPECT_EQ(out.size(), c.size);
    EXPECT_EQ(error != 0, c.result == ReadResult::kFailed || c.result == ReadResult::kMissing);
  }
}

TEST_F(FileTest, AFullDiskLeavesOnlyWholeRecordsAndWritingGoesOnWhenSpaceReturns) {
  const fs::path path = dir_ / "records";
  AppendFile f;
  ASSERT_TRUE(f.Open(path, true));
  const std::string record(30, 'r');
  int written = 0;
  {
    // 100 bytes: three records fit, the fourth is cut at 10 bytes by the
    // kernel and must be taken back off.
    FileSizeLimit limit(100);
    for (int i = 0; i < 5; ++i) {
      if (f.Append(record.data(), record.size()))
        ++written;
      else
        EXPECT_EQ(f.Error(), EFBIG);
    }
    EXPECT_EQ(written, 3);
    EXPECT_EQ(fs::file_size(path), 90u);
  }
  ASSERT_TRUE(f.IsOpen());
  EXPECT_TRUE(f.Append("tail", 4));
  f.Close();
  EXPECT_EQ(Read(path), std::string(90, 'r') + "tail");
}

TEST_F(FileTest, OpenKeepsOrEmptiesTheFileAndNeverMakesItWritableByOthers) {
  const fs::path path = dir_ / "log";
  const mode_t old = ::umask(0);
  AppendFile f;
  ASSERT_TRUE(f.Open(path, false));
  ::umask(old);
  ASSERT_TRUE(f.Append("one\n", 4));
  ASSERT_TRUE(f.Open(path, false));
  ASSERT_TRUE(f.Append("two\n", 4));
  EXPECT_EQ(Read(path), "one\ntwo\n");
  EXPECT_EQ(fs::status(path).permissions() & fs::perms::others_write, fs::perms::none);
  ASSERT_TRUE(f.Open(path, true));
  EXPECT_EQ(Read(path), "");
  EXPECT_FALSE(f.Open(dir_ / "missing" / "log", false));
  EXPECT_EQ(f.Error(), ENOENT);
  EXPECT_FALSE(f.Append("x", 1));
}

// Only a regular file is appended to; the open never waits for a FIFO's
// reader.
TEST_F(FileTest, AppendingRefusesAnythingButARegularFileAtOnce) {
  const fs::path fifo = dir_ / "fifo", null = dir_ / "null";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  fs::create_symlink("/dev/null", null);
  struct Case {
    fs::path path;
    const char* text;
  } cases[] = {
      {fifo, "No such device or address"},  // no reader
      {null, "not a regular file"},
      {dir_, "Is a directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    AppendFile f;
    EXPECT_FALSE(f.Open(c.path, false));
    EXPECT_FALSE(f.IsOpen());
    EXPECT_EQ(f.ErrorText(), c.text);
  }
}

}  // namespace
