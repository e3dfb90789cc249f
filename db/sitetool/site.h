// Creating a new site directory: the database (<name>.mdb) with the site
// schema, and the workgroup file (<name>.mdw) with the server's own account
// and a first operator in "Administrators".  An existing site is never
// overwritten: each file is built under a temporary name and linked into
// place only if the name is still free.
#pragma once

#include <stdexcept>
#include <string>

namespace drovana::site {

// The account the server logs into the workgroup with.  It is in "Users"
// only, so that its fixed password does not open the operator's window.
inline constexpr char kServerUser[] = "TKZ";
inline constexpr char kServerPassword[] = "vqd";

struct SiteOptions {
  std::string dir;                 // created when missing
  std::string name = "drovana";    // file name stem of the database and workgroup
  std::string operator_name;
  std::string operator_password;   // never printed or logged
  // Seed data (SQL) applied to the new database in the schema's own
  // transaction; a seed that fails leaves no site behind.  Empty: none.
  std::string seed_sql;
  std::string seed_name;           // names the seed in error messages
};

class SiteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws SiteError with a message for the user.
void CreateSite(const SiteOptions& options);

// Reads a seed file (at most 16 MiB).  Throws SiteError.
std::string ReadSeedFile(const std::string& path);

}  // namespace drovana::site
