#include "dao/workgroup.h"

#include <crypt.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <string.h>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "dao/errors.h"
#include "workgroup_db.h"

namespace dao {

namespace {

// Wipes a buffer that held a password or a hash computation.
void Wipe(void* p, size_t n) { explicit_bzero(p, n); }

}  // namespace

std::string HashPassword(std::string_view password) {
  char salt[CRYPT_GENSALT_OUTPUT_SIZE];
  if (!crypt_gensalt_rn("$y$", 0, nullptr, 0, salt, sizeof salt) &&
      !crypt_gensalt_rn("$6$", 0, nullptr, 0, salt, sizeof salt))
    Throw(kErrInvalidArgument, "No password hashing method is available.");
  std::string pw(password);
  auto data = std::make_unique<crypt_data>();
  std::memset(data.get(), 0, sizeof(crypt_data));
  const char* h = crypt_rn(pw.c_str(), salt, data.get(), sizeof(crypt_data));
  std::string hash = (h && h[0] != '*') ? std::string(h) : std::string();
  Wipe(pw.data(), pw.size());
  Wipe(data.get(), sizeof(crypt_data));
  if (hash.empty()) Throw(kErrInvalidArgument, "The password could not be hashed.");
  return hash;
}

bool VerifyPassword(std::string_view password, const std::string& hash) {
  if (hash.empty() || hash[0] != '$') return false;
  std::string pw(password);
  auto data = std::make_unique<crypt_data>();
  std::memset(data.get(), 0, sizeof(crypt_data));
  const char* h = crypt_rn(pw.c_str(), hash.c_str(), data.get(), sizeof(crypt_data));
  bool ok = false;
  if (h && h[0] != '*') {
    const size_t n = std::strlen(h);
    if (n == hash.size()) {
      unsigned diff = 0;
      for (size_t i = 0; i < n; ++i) diff |= static_cast<unsigned char>(h[i]) ^ static_cast<unsigned char>(hash[i]);
      ok = diff == 0;
    }
  }
  Wipe(pw.data(), pw.size());
  Wipe(data.get(), sizeof(crypt_data));
  return ok;
}

struct WorkgroupWriter::Impl {
  WorkgroupDb db;
};

WorkgroupWriter::WorkgroupWriter(Impl* impl) : impl_(impl) {}
WorkgroupWriter::WorkgroupWriter(WorkgroupWriter&& o) noexcept : impl_(o.impl_) { o.impl_ = nullptr; }
WorkgroupWriter& WorkgroupWriter::operator=(WorkgroupWriter&& o) noexcept {
  if (this != &o) {
    delete impl_;
    impl_ = o.impl_;
    o.impl_ = nullptr;
  }
  return *this;
}
WorkgroupWriter::~WorkgroupWriter() { delete impl_; }

WorkgroupWriter WorkgroupWriter::Create(const std::string& path) {
  // Claim the name first, so that an existing file is never overwritten.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (errno == EEXIST) Throw(kErrDuplicateKey, "The workgroup file '" + path + "' already exists.");
    Throw(kErrCannotFindFile, "Could not create the workgroup file '" + path + "': " + strerror(errno));
  }
  ::close(fd);
  auto impl = std::make_unique<Impl>();
  impl->db.Open(path, SQLITE_OPEN_READWRITE);
  impl->db.Exec(kWorkgroupDdl);
  return WorkgroupWriter(impl.release());
}

WorkgroupWriter WorkgroupWriter::Open(const std::string& path) {
  auto impl = std::make_unique<Impl>();
  impl->db.OpenExisting(path, SQLITE_OPEN_READWRITE);
  return WorkgroupWriter(impl.release());
}

void WorkgroupWriter::AddGroup(std::string_view group) {
  if (group.empty()) Throw(kErrInvalidArgument, "A group needs a name.");
  impl_->db.Run("INSERT INTO wgGroup (Name) VALUES (?1)", {std::string(group)});
}

void WorkgroupWriter::AddUser(std::string_view user, std::string_view password) {
  if (user.empty()) Throw(kErrInvalidArgument, "A user needs a name.");
  impl_->db.Run("INSERT INTO wgUser (Name, PasswordHash) VALUES (?1, ?2)", {std::string(user), HashPassword(password)});
}

void WorkgroupWriter::SetPassword(std::string_view user, std::string_view password) {
  if (impl_->db.Run("UPDATE wgUser SET PasswordHash = ?2 WHERE Name = ?1", {std::string(user), HashPassword(password)}) == 0)
    Throw(kErrItemNotFound, "Item not found in this collection.");
}

void WorkgroupWriter::AddMembership(std::string_view user, std::string_view group) {
  impl_->db.Run(
      "INSERT INTO wgMember (UserName, GroupName, Position)"
      " SELECT u.Name, g.Name, (SELECT coalesce(max(Position), 0) + 1 FROM wgMember WHERE UserName = u.Name)"
      " FROM wgUser u, wgGroup g WHERE u.Name = ?1 AND g.Name = ?2",
      {std::string(user), std::string(group)}, /*must_change=*/true);
}

}  // namespace dao
