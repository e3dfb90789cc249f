// Writing a workgroup file: the users, groups and ordered group membership
// that Engine::CreateWorkspace checks against.  Passwords are stored only as
// crypt(3) hashes (yescrypt "$y$" where libcrypt offers it, else SHA-512
// "$6$"); they are never stored or logged in clear.
#pragma once

#include <string>
#include <string_view>

namespace dao {

// A new crypt(3) hash of a password with a fresh random salt.
std::string HashPassword(std::string_view password);
// True when the password matches the hash (compared in constant time).
bool VerifyPassword(std::string_view password, const std::string& hash);

class WorkgroupWriter {
 public:
  // Creates a new workgroup file; fails with 3022 when the file exists.
  static WorkgroupWriter Create(const std::string& path);
  // Opens an existing workgroup file for changes (3024 / 3028).
  static WorkgroupWriter Open(const std::string& path);

  WorkgroupWriter(WorkgroupWriter&&) noexcept;
  WorkgroupWriter& operator=(WorkgroupWriter&&) noexcept;
  ~WorkgroupWriter();

  void AddGroup(std::string_view group);                          // 3022 if it exists
  void AddUser(std::string_view user, std::string_view password);  // 3022 if it exists
  void SetPassword(std::string_view user, std::string_view password);
  // Appends the group to the end of the user's membership list.
  void AddMembership(std::string_view user, std::string_view group);

 private:
  struct Impl;
  explicit WorkgroupWriter(Impl* impl);
  Impl* impl_;
};

}  // namespace dao
