// The engine and its workspaces.  The engine's system database is the
// workgroup file: an SQLite file of users (password hashes made by
// crypt(3)), groups and ordered group membership (see workgroup.h).  A
// workspace exists only for a valid user name and password.
//
// Ownership: an Engine owns its settings only; a Workspace owns a read-only
// connection to the workgroup file, which it closes when destroyed.
// Databases opened through a workspace do not depend on it staying alive.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dao/database.h"

namespace dao {

class User {
 public:
  User(std::string name, std::vector<std::string> groups)
      : name_(std::move(name)), groups_(std::move(groups)) {}
  const std::string& Name() const { return name_; }
  // The user's groups in their stored order.
  int GroupCount() const { return static_cast<int>(groups_.size()); }
  // Name of group i (0-based); 0x800A0CC1 when out of range.
  const std::string& GroupName(int i) const;

 private:
  std::string name_;
  std::vector<std::string> groups_;
};

class Workspace {
 public:
  Workspace(Workspace&&) noexcept;
  Workspace& operator=(Workspace&&) noexcept;
  ~Workspace();

  const std::string& UserName() const { return user_; }

  // The users collection: item by name (case-insensitive);
  // 0x800A0CC1 when there is none.
  User Users(std::string_view name) const;
  int UserCount() const;

  // Opens a database shared and read-write; see Database::Open.
  Database OpenDatabase(const std::string& path, const DatabaseOptions& options = {}) const;

 private:
  friend class Engine;
  struct Impl;
  Workspace(std::unique_ptr<Impl> impl, std::string user);
  std::unique_ptr<Impl> impl_;
  std::string user_;
};

class Engine {
 public:
  // The workgroup file that CreateWorkspace checks accounts against.
  void SetSystemDatabase(std::string path) { system_db_ = std::move(path); }
  const std::string& SystemDatabase() const { return system_db_; }

  // Checks that the workgroup file exists and is a workgroup (3024, 3028).
  void Start() const;

  // A workspace for a user name (case-insensitive) and password
  // (case-sensitive).  An unknown user and a wrong password both raise 3029
  // "Not a valid account name or password."; the time taken does not tell
  // the two apart.  The workspace name is kept for the caller only.
  Workspace CreateWorkspace(std::string_view name, std::string_view user,
                            std::string_view password) const;

 private:
  std::string system_db_;
};

}  // namespace dao
