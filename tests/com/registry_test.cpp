#include "com/registry.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "base/errors.h"
#include "tests/com/component_test_support.h"

namespace fonwerk::com {
namespace {

using fonwerk::testing::TempDir;

// Points KORVANA_REGISTRY at a file for the life of the object.
class RegistryFile {
 public:
  explicit RegistryFile(const std::string& content) {
    path_ = dir_.Write("registry.ini", content);
    setenv("KORVANA_REGISTRY", path_.c_str(), 1);
  }
  ~RegistryFile() { unsetenv("KORVANA_REGISTRY"); }
  const std::string& path() const { return path_; }
  const TempDir& dir() const { return dir_; }

 private:
  TempDir dir_;
  std::string path_;
};

const char* kRegistry =
    "[HKEY_LOCAL_MACHINE\\Software\\Korvana]\n"
    "Path=/srv/korvana   ; the installation\n"
    "Empty=\n"
    "[HKEY_CURRENT_USER\\Software\\Korvana]\n"
    "Path=/home/user/korvana\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Other]\n"
    "Name=other\n";

std::string Read(uint32_t root, const std::string& section, const std::string& name,
                 const std::string& default_value = "<default>") {
  cRegistry registry;
  registry.SetHKey(root);
  registry.SetSection(section);
  return registry.GetStrKey(name, default_value).ToText();
}

TEST(Registry, ReadsTheValueOfTheSelectedRootAndKey) {
  RegistryFile file(kRegistry);
  EXPECT_EQ(Read(kHKeyLocalMachine, "Software\\Korvana", "Path"), "/srv/korvana");
  EXPECT_EQ(Read(kHKeyCurrentUser, "Software\\Korvana", "Path"), "/home/user/korvana");
  EXPECT_EQ(Read(kHKeyLocalMachine, "Software\\Other", "Name"), "other");
  EXPECT_EQ(Read(kHKeyLocalMachine, "Software\\Korvana", "Empty"), "");
}

TEST(Registry, MatchesKeyAndValueNamesWithoutRegardToCase) {
  RegistryFile file(kRegistry);
  EXPECT_EQ(Read(kHKeyLocalMachine, "SOFTWARE\\korvana", "path"), "/srv/korvana");
  EXPECT_EQ(Read(kHKeyLocalMachine, "\\Software\\Korvana\\", "PATH"), "/srv/korvana");
}

TEST(Registry, GivesTheDefaultForAMissingValueKeyOrFile) {
  RegistryFile file(kRegistry);
  EXPECT_EQ(Read(kHKeyLocalMachine, "Software\\Korvana", "Missing"), "<default>");
  EXPECT_EQ(Read(kHKeyLocalMachine, "Software\\Nowhere", "Path"), "<default>");
  EXPECT_EQ(Read(kHKeyUsers, "Software\\Korvana", "Path", ""), "");
  setenv("KORVANA_REGISTRY", file.dir().File("no-such.ini").c_str(), 1);
  EXPECT_EQ(Read(kHKeyLocalMachine, "Software\\Korvana", "Path", "fallback"), "fallback");
}

TEST(Registry, TheFileComesFromTheEnvironmentOrEtc) {
  unsetenv("KORVANA_REGISTRY");
  EXPECT_EQ(RegistryFilePath(), "/etc/korvana/registry.ini");
  setenv("KORVANA_REGISTRY", "", 1);
  EXPECT_EQ(RegistryFilePath(), "/etc/korvana/registry.ini");
  RegistryFile file(kRegistry);
  EXPECT_EQ(RegistryFilePath(), file.path());
}

TEST(Registry, ABrokenFileIsAnErrorNamingIt) {
  RegistryFile file("[HKEY_LOCAL_MACHINE\\Software\\Korvana]\nPath=/srv\nno value here\n");
  try {
    Read(kHKeyLocalMachine, "Software\\Korvana", "Path");
    FAIL() << "no error";
  } catch (const Error& error) {
    EXPECT_NE(error.description().find(file.path()), std::string::npos) << error.what();
    EXPECT_NE(error.description().find("Zeile 3"), std::string::npos) << error.what();
  }
}

TEST(Registry, RejectsANumberThatIsNoRootKey) {
  cRegistry registry;
  EXPECT_THROW(registry.SetHKey(0x12345678u), Error);
}

}  // namespace
}  // namespace fonwerk::com
