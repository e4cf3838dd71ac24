#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "com/component_factory.h"
#include "com/dal.h"
#include "com/dbini.h"
#include "com/dbutil.h"
#include "com/progress.h"
#include "com/registry.h"
#include "com/util.h"

namespace fonwerk::com {
namespace {

ComponentFactory& Factory() { return ComponentFactory::Instance(); }

// The error that creating `prog_id` throws.
Error CreationError(const std::string& prog_id) {
  try {
    Factory().CreateComponent(prog_id);
  } catch (const Error& error) {
    return error;
  }
  ADD_FAILURE() << "created " << prog_id;
  return Error(0, "");
}

// A recording double of cUtil.
class FakeUtil : public cUtil {
 public:
  std::string NewGUID() override { return "{FAKE}"; }
};

TEST(ComponentFactory, CreatesTheSixClassesOfTheLibrary) {
  EXPECT_NE(std::dynamic_pointer_cast<cDBUtil>(Factory().Create<IDBUtil>("brixcom.cDBUtil")),
            nullptr);
  EXPECT_NE(std::dynamic_pointer_cast<cUtil>(Factory().Create<IUtil>("brixcom.cUtil")), nullptr);
  EXPECT_NE(std::dynamic_pointer_cast<cRegistry>(Factory().Create<IRegistry>("brixcom.cRegistry")),
            nullptr);
  EXPECT_NE(std::dynamic_pointer_cast<cDbIni>(Factory().Create<IDbIni>("brixcom.cDbIni")), nullptr);
  EXPECT_NE(std::dynamic_pointer_cast<cDal>(Factory().Create<IDal>("brixcom.cDal")), nullptr);
  EXPECT_NE(std::dynamic_pointer_cast<cProgress>(Factory().Create<IProgress>("brixcom.cProgress")),
            nullptr);
}

TEST(ComponentFactory, ProgIdsMatchWithoutRegardToCaseAndGiveNewObjects) {
  auto a = Factory().Create<IUtil>("BRIXCOM.CUTIL");
  auto b = Factory().Create<IUtil>("brixcom.cutil");
  EXPECT_NE(a, b);
}

TEST(ComponentFactory, UnknownProgIdIsError429) {
  const Error error = CreationError("brixcom.cNothing");
  EXPECT_EQ(error.number(), errnum::kCannotCreateObject);
  EXPECT_EQ(error.description(), "Objekt kann nicht erstellt werden: brixcom.cNothing");
}

TEST(ComponentFactory, AnObjectWithoutTheInterfaceIsATypeMismatch) {
  try {
    Factory().Create<IDal>("brixcom.cUtil");
    FAIL() << "no error";
  } catch (const Error& error) {
    EXPECT_EQ(error.number(), errnum::kTypeMismatch);
  }
}

TEST(ComponentFactory, OverrideReplacesTheCreatorUntilTheGuardGoes) {
  {
    auto guard = Factory().Override("brixcom.CUTIL", [] { return std::make_shared<FakeUtil>(); });
    EXPECT_EQ(Factory().Create<IUtil>("brixcom.cUtil")->NewGUID(), "{FAKE}");
  }
  EXPECT_NE(Factory().Create<IUtil>("brixcom.cUtil")->NewGUID(), "{FAKE}");
}

TEST(ComponentFactory, NestedOverridesRestoreInReverseOrder) {
  auto outer = Factory().Override("brixcom.cUtil", [] { return std::make_shared<FakeUtil>(); });
  {
    auto inner = Factory().Override("brixcom.cUtil", [] { return nullptr; });
    EXPECT_EQ(CreationError("brixcom.cUtil").number(), errnum::kCannotCreateObject);
  }
  EXPECT_EQ(Factory().Create<IUtil>("brixcom.cUtil")->NewGUID(), "{FAKE}");
}

TEST(ComponentFactory, OverrideOfANewProgIdIsRemovedAfterwards) {
  {
    auto guard = Factory().Override("test.cExtra", [] { return std::make_shared<cUtil>(); });
    auto moved = std::move(guard);  // only the moved-to guard restores
    EXPECT_NE(Factory().CreateComponent("test.cExtra"), nullptr);
  }
  EXPECT_EQ(CreationError("test.cExtra").number(), errnum::kCannotCreateObject);
}

TEST(ComponentFactory, ACreatorThatThrowsGives429WithTheCause) {
  auto guard = Factory().Override("brixcom.cDal", []() -> std::shared_ptr<Component> {
    throw std::runtime_error("Bibliothek fehlt");
  });
  const Error error = CreationError("brixcom.cDal");
  EXPECT_EQ(error.number(), errnum::kCannotCreateObject);
  EXPECT_EQ(error.description(),
            "Objekt kann nicht erstellt werden: brixcom.cDal: Bibliothek fehlt");
}

}  // namespace
}  // namespace fonwerk::com
