// Opening the installation for one fonwerkctl run.

#include "ctl/installation.h"

#include "base/errors.h"
#include "com/component_factory.h"
#include "com/dbutil.h"
#include "com/registry.h"
#include "db/connection_string.h"
#include "platform/platform.h"

namespace fonwerk::ctl {
namespace {

constexpr int32_t kConnectFlags = 4802719;

template <class T>
std::shared_ptr<T> Create(const char* prog_id) {
  return com::ComponentFactory::Instance().Create<T>(prog_id);
}

// How a failure to open the database is told: the provider's message, led by
// the database's name when the message does not name it (libpq names the
// server's socket or address, not the database).
std::string OpenFailure(const std::string& connect, const std::string& description) {
  const ConnectionString params = ConnectionString::Parse(connect);
  std::string name = params.Get("Data Source").value_or("");
  if (name.empty()) {
    name = params.Get("Database").value_or("");
    if (auto host = params.Get("Host")) name += " on " + *host;
    if (auto port = params.Get("Port")) name += " port " + *port;
    if (auto user = params.Get("User ID")) name += " as " + *user;
  }
  if (!name.empty() && description.find(name) != std::string::npos) return description;
  return "cannot open the database " + name + ": " + description;
}

}  // namespace

namespace {

// SQL/SQL.INI of the installation at `install_path` (or the registry's path).
std::string IniPathOf(const std::string& install_path) {
  const std::string path = install_path.empty() ? com::RegistryInstallPath() : install_path;
  if (path.empty()) {
    throw InstallationNotFound(
        errnum::kPathNotFound,
        "no installation path: give --install PATH or set Path in the registry file");
  }
  const std::string ini = path + "/SQL/SQL.INI";
  // Said as the reading of the file says it, for a missing folder as well.
  if (!platform::FolderExists(path) || !platform::FileExists(ini)) {
    throw InstallationNotFound(errnum::kFileNotFound, "SQL.INI nicht gefunden: " + ini);
  }
  return ini;
}

// Opens the connection of `installation.connect`.
void Open(Installation& installation) {
  installation.connection = std::make_unique<ado::Connection>();
  installation.connection->SetConnectionString(installation.connect);
  installation.connection->Open();
}

}  // namespace

std::string ConnectStringOf(const std::string& install_path) {
  auto db_util = Create<com::IDBUtil>(com::progid::kDBUtil);
  return db_util->GetConnectString(IniPathOf(install_path), kConnectFlags).ToText();
}

Installation OpenInstallation(const std::string& install_path, bool read_replica) {
  Installation installation;
  installation.primary_connect = ConnectStringOf(install_path);
  installation.replica_connect = com::ReplicaConnectString(IniPathOf(install_path));
  installation.connect = installation.primary_connect;
  if (read_replica && installation.replica_connect) {
    // A replica that cannot be reached leaves the reading to [Database].
    installation.connect = *installation.replica_connect;
    try {
      Open(installation);
    } catch (const DbError& error) {
      if (!error.connection_lost()) throw;
      installation.connect = installation.primary_connect;
      installation.connection.reset();
    }
  }
  try {
    if (!installation.connection) Open(installation);
  } catch (const DbError& error) {
    throw DbError(error.kind(), error.number(), OpenFailure(installation.connect, error.description()),
                  error.sqlstate());
  }
  installation.util = Create<com::IUtil>(com::progid::kUtil);
  installation.dal = Create<com::IDal>(com::progid::kDal);
  installation.phone.Init(installation.connect);
  return installation;
}

void ApplyOverrides(const Overrides& overrides, cCanonicalTelephone& phone) {
  if (overrides.plus) phone.Plus = *overrides.plus;
  if (overrides.code) phone.code = *overrides.code;
  if (overrides.vaz) phone.VAZ = *overrides.vaz;
  if (overrides.suspress) phone.Suspress = *overrides.suspress;
}

}  // namespace fonwerk::ctl
