#include "dao/engine.h"

#include "dao/errors.h"
#include "dao/workgroup.h"
#include "workgroup_db.h"

namespace dao {

const std::string& User::GroupName(int i) const {
  if (i < 0 || i >= GroupCount()) Throw(kErrItemNotFound, "Item not found in this collection.");
  return groups_[static_cast<size_t>(i)];
}

struct Workspace::Impl {
  WorkgroupDb db;
};

Workspace::Workspace(std::unique_ptr<Impl> impl, std::string user) : impl_(std::move(impl)), user_(std::move(user)) {}
Workspace::Workspace(Workspace&&) noexcept = default;
Workspace& Workspace::operator=(Workspace&&) noexcept = default;
Workspace::~Workspace() = default;

User Workspace::Users(std::string_view name) const {
  auto rows = impl_->db.Query("SELECT Name FROM wgUser WHERE Name = ?1", {std::string(name)});
  if (rows.empty()) Throw(kErrItemNotFound, "Item not found in this collection.");
  std::vector<std::string> groups;
  for (auto& r : impl_->db.Query("SELECT GroupName FROM wgMember WHERE UserName = ?1 ORDER BY Position", {rows[0][0]}))
    groups.push_back(std::move(r[0]));
  return User(rows[0][0], std::move(groups));
}

int Workspace::UserCount() const {
  return std::stoi(impl_->db.Query("SELECT count(*) FROM wgUser", {})[0][0]);
}

Database Workspace::OpenDatabase(const std::string& path, const DatabaseOptions& options) const {
  return Database::Open(path, options);
}

void Engine::Start() const {
  WorkgroupDb db;
  db.OpenExisting(system_db_, SQLITE_OPEN_READONLY);
}

Workspace Engine::CreateWorkspace(std::string_view /*name*/, std::string_view user, std::string_view password) const {
  auto impl = std::make_unique<Workspace::Impl>();
  impl->db.OpenExisting(system_db_, SQLITE_OPEN_READONLY);
  auto rows = impl->db.Query("SELECT Name, PasswordHash FROM wgUser WHERE Name = ?1", {std::string(user)});
  bool ok;
  if (rows.empty()) {
    // Spend the same work on an unknown user as on a known one.
    static const std::string dummy = HashPassword("unknown user");
    (void)VerifyPassword(password, dummy);
    ok = false;
  } else {
    ok = VerifyPassword(password, rows[0][1]);
  }
  if (!ok) Throw(kErrInvalidAccount, "Not a valid account name or password.");
  return Workspace(std::move(impl), rows[0][0]);
}

}  // namespace dao
