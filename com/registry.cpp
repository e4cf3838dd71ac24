#include "com/registry.h"

#include "com/component_factory.h"

#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

#include "base/errors.h"
#include "platform/ini_reader.h"

namespace fonwerk::com {
namespace {

std::string_view StripBackslashes(std::string_view path) {
  while (!path.empty() && path.front() == '\\') path.remove_prefix(1);
  while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  return path;
}

const char* RootName(uint32_t root) {
  switch (root) {
    case kHKeyClassesRoot:
      return "HKEY_CLASSES_ROOT";
    case kHKeyCurrentUser:
      return "HKEY_CURRENT_USER";
    case kHKeyLocalMachine:
      return "HKEY_LOCAL_MACHINE";
    case kHKeyUsers:
      return "HKEY_USERS";
    case kHKeyCurrentConfig:
      return "HKEY_CURRENT_CONFIG";
    default:
      return nullptr;
  }
}

}  // namespace

std::string RegistryFilePath() {
  const char* path = std::getenv("KORVANA_REGISTRY");
  if (path != nullptr && *path != '\0') return path;
  return "/etc/korvana/registry.ini";
}

void cRegistry::SetHKey(uint32_t root) {
  const char* name = RootName(root);
  if (name == nullptr) {
    throw Error(errnum::kInvalidProcedureCall,
                "Unbekannter Registrierungsschlüssel: " + std::to_string(root));
  }
  root_name_ = name;
}

void cRegistry::SetSection(const std::string& section) {
  section_ = std::string(StripBackslashes(section));
}

Variant cRegistry::GetStrKey(const std::string& name, const std::string& default_value) {
  std::optional<std::vector<IniEntry>> entries = ReadIniFile(RegistryFilePath());
  if (!entries) return Variant(default_value);
  const std::string key = section_.empty() ? root_name_ : root_name_ + "\\" + section_;
  for (IniEntry& entry : *entries) {
    entry.section = std::string(StripBackslashes(entry.section));
  }
  std::optional<std::string> value = FindIniValue(*entries, key, name);
  return Variant(value ? *value : default_value);
}

std::string RegistryInstallPath() {
  auto registry = ComponentFactory::Instance().Create<IRegistry>(progid::kRegistry);
  registry->SetHKey(kHKeyLocalMachine);
  registry->SetSection("Software\\Korvana");
  return registry->GetStrKey("Path", "").ToText();
}

}  // namespace fonwerk::com
