// Opening the installation for one fonwerkctl run.

#include "ctl/installation.h"

#include "batch/mod_fonwerk.h"
#include "services/component_factory.h"
#include "services/errors.h"

namespace fonwerk::ctl {
namespace {

constexpr int32_t kConnectFlags = 4802719;

template <class T>
std::shared_ptr<T> Create(const char* prog_id) {
  return com::ComponentFactory::Instance().Create<T>(prog_id);
}

}  // namespace

std::string ConnectStringOf(const std::string& install_path) {
  const std::string path = install_path.empty() ? modFonwerk::GetRegistryPath() : install_path;
  if (path.empty()) {
    throw Error(errnum::kPathNotFound,
                "no installation path: give --install PATH or set Path in the registry file");
  }
  auto db_util = Create<com::IDBUtil>(com::progid::kDBUtil);
  return db_util->GetConnectString(path + "/SQL/SQL.INI", kConnectFlags).ToText();
}

Installation OpenInstallation(const std::string& install_path) {
  Installation installation;
  installation.connect = ConnectStringOf(install_path);
  installation.connection = std::make_unique<ado::Connection>();
  installation.connection->SetConnectionString(installation.connect);
  installation.connection->Open();
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
