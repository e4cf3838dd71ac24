#pragma once
// The installation fonwerkctl works on: its connection string, an open
// database session, an initialised cCanonicalTelephone and the component
// objects the tool's own queries use.

#include <memory>
#include <optional>
#include <string>

#include "base/errors.h"
#include "com/ado.h"
#include "com/components.h"
#include "ctl/request.h"
#include "phone/canonical_telephone.h"

namespace fonwerk::ctl {

// The installation cannot be found: no path is known, or its folder or
// SQL/SQL.INI is missing. fonwerk stops at the same checks with status 1.
class InstallationNotFound : public Error {
 public:
  using Error::Error;
};

struct Installation {
  std::string connect;                          // from SQL/SQL.INI: the database opened
  std::string primary_connect;                  // [Database]: where everything is written
  std::optional<std::string> replica_connect;   // [Replica], when SQL.INI names one
  std::unique_ptr<ado::Connection> connection;  // open for the whole run (pooled session)
  cCanonicalTelephone phone;                    // Init done
  std::shared_ptr<com::IUtil> util;
  std::shared_ptr<com::IDal> dal;
  std::size_t nummer_width = 0;  // declared width of TAPI.NUMMER; set by the first lookup
};

// The connection string of the installation at `install_path`, or, when it
// is empty, at the registry's path (as the batch program finds it).
// Throws InstallationNotFound when no path is known or the folder or
// SQL/SQL.INI does not exist, Error when SQL.INI cannot be read or used.
std::string ConnectStringOf(const std::string& install_path);

// Resolves the connection string, opens the database (so that an unreachable
// database is reported here, with the provider's message led by the
// database's name, rather than hidden by Init, which lets no failure out) and
// runs Init. With `read_replica`, the database opened is the one [Replica]
// names, when SQL.INI has that section and the server can be reached, else
// [Database]. Throws Error (DbError when the database cannot be opened).
Installation OpenInstallation(const std::string& install_path, bool read_replica = false);

// Sets the public members named in `overrides`; nothing is stored.
void ApplyOverrides(const Overrides& overrides, cCanonicalTelephone& phone);

}  // namespace fonwerk::ctl
