#include "site.h"

#include <sqlite3.h>
#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>

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

std::string TempName(const std::string& dir, const std::string& base) {
  return dir + "/." + base + ".new." + std::to_string(::getpid());
}

void BuildDatabase(const std::string& path) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                           nullptr);
  std::string msg;
  if (rc == SQLITE_OK) {
    const std::string sql = "BEGIN;" + std::string(drovana::db::SchemaSql()) + "COMMIT; PRAGMA journal_mode=WAL;";
    char* err = nullptr;
    rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err);
    if (err) msg = err;
    sqlite3_free(err);
  } else {
    msg = sqlite3_errmsg(db);
  }
  sqlite3_close(db);
  if (rc != SQLITE_OK) throw SiteError("Could not create the database: " + msg);
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
  std::error_code ec;
  fs::create_directories(o.dir, ec);
  if (ec) throw SiteError("Could not create " + o.dir + ": " + ec.message());
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
    BuildDatabase(tmp_mdb);
    BuildWorkgroup(tmp_mdw, o);
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

}  // namespace drovana::site
