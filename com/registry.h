#pragma once
// brixcom.cRegistry: reads values from the registry file that stands in for the
// Windows registry.
//
// The file is the one named by the environment variable KORVANA_REGISTRY, else
// /etc/korvana/registry.ini. Each INI section is a root name and a key path,
// e.g. [HKEY_LOCAL_MACHINE\Software\Korvana], holding `Name=value` pairs.
// Section and value names match without regard to (ASCII) case.

#include <cstdint>
#include <string>

#include "com/components.h"

namespace fonwerk::com {

inline constexpr uint32_t kHKeyClassesRoot = 0x80000000u;
inline constexpr uint32_t kHKeyCurrentUser = 0x80000001u;
inline constexpr uint32_t kHKeyLocalMachine = 0x80000002u;
inline constexpr uint32_t kHKeyUsers = 0x80000003u;
inline constexpr uint32_t kHKeyCurrentConfig = 0x80000005u;

// The registry file in use: $KORVANA_REGISTRY if set and not empty, else
// /etc/korvana/registry.ini.
std::string RegistryFilePath();

// The value "Path" of HKLM\Software\Korvana (the installation folder), read
// through a registry object from the component factory; "" when it is not set.
std::string RegistryInstallPath();

class cRegistry : public IRegistry {
 public:
  // Selects the root key (HKEY_LOCAL_MACHINE until set). Throws Error 5 for a
  // number that is no root key.
  void SetHKey(uint32_t root) override;
  // Selects the key path below the root, e.g. "Software\Korvana" (a leading or
  // trailing backslash is ignored).
  void SetSection(const std::string& section) override;
  // The text of value `name` under the selected key, or `default_value` when
  // the file, the key or the value is missing. Reads the file on every call.
  // Throws Error naming the file when it exists but cannot be read or parsed.
  Variant GetStrKey(const std::string& name, const std::string& default_value) override;

 private:
  std::string root_name_ = "HKEY_LOCAL_MACHINE";
  std::string section_;
};

}  // namespace fonwerk::com
