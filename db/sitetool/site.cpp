#include "site.h"

#include <sqlite3.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "dao/errors.h"
#include "dao/workgroup.h"
#include "drovana_db/schema.h"

namespace drovana::site {
namespace {

namespace fs = std::filesystem;

void CheckName(const std::string& name) {
  if (name.empty() || name.size() > 64) throw SiteError("The site name must have 1 to 64 characters.");
  for (char c : name)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-'))
      throw SiteError("The site name may hold only letters, digits, '_' and '-' (it names the files).");
}

void CheckOperator(const SiteOptions& o) {
  if (o.operator_name.empty() || o.operator_name.size() > 50) throw SiteError("The operator needs a name of 1 to 50 characters.");
  for (char c : o.operator_name)
    if (std::iscntrl(static_cast<unsigned char>(c))) throw SiteError("The operator name may not hold control characters.");
  if (strcasecmp(o.operator_name.c_str(), kServerUser) == 0)
    throw SiteError(std::string("The name ") + kServerUser + " is the server's own account.");
  if (o.operator_password.empty()) throw SiteError("The operator needs a password.");
  if (o.operator_password.size() > 256) throw SiteError("The operator's password is too long.");
}

// Moves a finished file to its name unless the name is taken (link(2) never
// replaces), and removes the temporary name.
void Publish(const std::string& tmp, const std::string& final_path) {
  int rc = ::link(tmp.c_str(), final_path.c_str());
  int err = errno;
  ::unlink(tmp.c_str());
  if (rc != 0) {
    if (err == EEXIST) throw SiteError(final_path + " already exists; the site is left as it was.");
    throw SiteError("Could not create " + final_path + ": " + std::strerror(err));
  }
}

// No part of a site is writable by others, whatever the umask: the server
// trusts what the directory holds.
constexpr mode_t kDirMode = 0775;

// Creates the directory and its missing parents with kDirMode (less the
// umask); directories that exist already are left as they are.
void MakeDirectories(const fs::path& dir) {
  fs::path at;
  for (const fs::path& part : dir.lexically_normal()) {
    at /= part;
    if (part.empty() || part == "/" || part == "." || part == "..") continue;
    if (::mkdir(at.c_str(), kDirMode) != 0 && errno != EEXIST)
      throw SiteError("Could not create " + at.string() + ": " + std::strerror(errno));
  }
}

// Takes write access for others off a file of the site.
void NotWorldWritable(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || ::chmod(path.c_str(), st.st_mode & 07775) != 0)
    throw SiteError("Could not set the permissions of " + path + ": " + std::strerror(errno));
}

std::string TempName(const std::string& dir, const std::string& base) {
  return dir + "/." + base + ".new." + std::to_string(::getpid());
}

int Exec(sqlite3* db, const std::string& sql, std::string* msg) {
  char* err = nullptr;
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err);
  if (rc != SQLITE_OK) *msg = err ? err : sqlite3_errmsg(db);
  sqlite3_free(err);
  return rc;
}

// The schema and the seed go in one transaction; the file is a temporary
// one that the caller removes on failure, so a seed that commits or fails
// half-way leaves nothing behind either.
void BuildDatabase(const std::string& path, const SiteOptions& o) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                           nullptr);
  std::string msg;
  std::string what = "Could not create the database: ";
  if (rc == SQLITE_OK) {
    rc = Exec(db, "BEGIN;" + std::string(drovana::db::SchemaSql()), &msg);
    if (rc == SQLITE_OK && !o.seed_sql.empty()) {
      rc = Exec(db, o.seed_sql, &msg);
      if (rc != SQLITE_OK)
        what = "Could not apply the seed " + (o.seed_name.empty() ? std::string("data") : o.seed_name) +
               ": ";
    }
    if (rc == SQLITE_OK) {
      rc = Exec(db, "COMMIT;", &msg);
      if (rc != SQLITE_OK && !o.seed_sql.empty())
        what = "Could not apply the seed (it may not end the transaction itself): ";
    }
    if (rc == SQLITE_OK) rc = Exec(db, "PRAGMA journal_mode=WAL;", &msg);
  } else {
    msg = sqlite3_errmsg(db);
  }
  sqlite3_close(db);
  if (rc != SQLITE_OK) throw SiteError(what + msg);
}

void BuildWorkgroup(const std::string& path, const SiteOptions& o) {
  dao::WorkgroupWriter w = dao::WorkgroupWriter::Create(path);
  w.AddGroup("Administrators");
  w.AddGroup("Users");
  w.AddUser(kServerUser, kServerPassword);
  w.AddMembership(kServerUser, "Users");
  w.AddUser(o.operator_name, o.operator_password);
  w.AddMembership(o.operator_name, "Administrators");
  w.AddMembership(o.operator_name, "Users");
}

}  // namespace

void CreateSite(const SiteOptions& o) {
  CheckName(o.name);
  CheckOperator(o);
  if (o.dir.empty()) throw SiteError("No site directory given.");
  MakeDirectories(o.dir);
  if (!fs::is_directory(o.dir)) throw SiteError(o.dir + " is not a directory.");
  const std::string mdb = o.dir + "/" + o.name + ".mdb";
  const std::string mdw = o.dir + "/" + o.name + ".mdw";
  for (const std::string& f : {mdb, mdw})
    if (fs::exists(fs::symlink_status(f))) throw SiteError(f + " already exists; the site is left as it was.");

  const std::string tmp_mdb = TempName(o.dir, o.name + ".mdb");
  const std::string tmp_mdw = TempName(o.dir, o.name + ".mdw");
  ::unlink(tmp_mdb.c_str());  // leftovers of an interrupted run of this process id
  ::unlink(tmp_mdw.c_str());
  try {
    BuildDatabase(tmp_mdb, o);
    BuildWorkgroup(tmp_mdw, o);
    NotWorldWritable(tmp_mdb);
    NotWorldWritable(tmp_mdw);
  } catch (const dao::Error& e) {
    ::unlink(tmp_mdb.c_str());
    ::unlink(tmp_mdw.c_str());
    throw SiteError("Could not create the workgroup: " + e.description());
  } catch (...) {
    ::unlink(tmp_mdb.c_str());
    ::unlink(tmp_mdw.c_str());
    throw;
  }
  try {
    Publish(tmp_mdw, mdw);
  } catch (...) {
    ::unlink(tmp_mdb.c_str());
    throw;
  }
  try {
    Publish(tmp_mdb, mdb);
  } catch (...) {
    ::unlink(mdw.c_str());  // ours: published a moment ago
    throw;
  }
}

std::string ReadSeedFile(const std::string& path) {
  constexpr std::uintmax_t kMaxSeed = 16u << 20;
  std::error_code ec;
  const std::uintmax_t size = fs::file_size(path, ec);
  if (ec) throw SiteError("Could not read the seed " + path + ": " + ec.message());
  if (size > kMaxSeed) throw SiteError("The seed " + path + " is larger than 16 MiB.");
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in && !in.eof()) throw SiteError("Could not read the seed " + path + ".");
  if (text.find('\0') != std::string::npos) throw SiteError("The seed " + path + " is not SQL text.");
  return text;
}

}  // namespace drovana::site
