#include "com/component_factory.h"

#include <exception>
#include <utility>

#include "base/text.h"
#include "com/dal.h"
#include "com/dbini.h"
#include "com/dbutil.h"
#include "com/progress.h"
#include "com/registry.h"
#include "com/util.h"

namespace fonwerk::com {
namespace {

std::string Key(const std::string& prog_id) { return text::AsciiLower(prog_id); }

template <class T>
void RegisterClass(ComponentFactory& factory, const char* prog_id) {
  factory.Register(prog_id, [] { return std::make_shared<T>(); });
}

[[noreturn]] void ThrowCannotCreate(const std::string& prog_id, const std::string& cause) {
  std::string text = "Objekt kann nicht erstellt werden: " + prog_id;
  if (!cause.empty()) text += ": " + cause;
  throw Error(errnum::kCannotCreateObject, text);
}

}  // namespace

ComponentFactory& ComponentFactory::Instance() {
  static ComponentFactory factory;
  return factory;
}

ComponentFactory::ComponentFactory() {
  RegisterClass<cDBUtil>(*this, progid::kDBUtil);
  RegisterClass<cUtil>(*this, progid::kUtil);
  RegisterClass<cRegistry>(*this, progid::kRegistry);
  RegisterClass<cDbIni>(*this, progid::kDbIni);
  RegisterClass<cDal>(*this, progid::kDal);
  RegisterClass<cProgress>(*this, progid::kProgress);
}

std::shared_ptr<Component> ComponentFactory::CreateComponent(const std::string& prog_id) {
  auto it = creators_.find(Key(prog_id));
  if (it == creators_.end() || !it->second) ThrowCannotCreate(prog_id, "");
  std::shared_ptr<Component> object;
  try {
    object = it->second();
  } catch (const std::exception& error) {
    ThrowCannotCreate(prog_id, error.what());
  } catch (...) {
    ThrowCannotCreate(prog_id, "");
  }
  if (!object) ThrowCannotCreate(prog_id, "");
  return object;
}

void ComponentFactory::Register(const std::string& prog_id, Creator creator) {
  creators_[Key(prog_id)] = std::move(creator);
}

ComponentFactory::OverrideGuard ComponentFactory::Override(const std::string& prog_id,
                                                           Creator creator) {
  const std::string key = Key(prog_id);
  auto it = creators_.find(key);
  const bool had_previous = it != creators_.end();
  Creator previous = had_previous ? std::move(it->second) : Creator();
  creators_[key] = std::move(creator);
  return OverrideGuard(key, std::move(previous), had_previous);
}

ComponentFactory::OverrideGuard::OverrideGuard(std::string prog_id, Creator previous,
                                               bool had_previous)
    : prog_id_(std::move(prog_id)), previous_(std::move(previous)), had_previous_(had_previous) {}

ComponentFactory::OverrideGuard::OverrideGuard(OverrideGuard&& other) noexcept
    : prog_id_(std::move(other.prog_id_)),
      previous_(std::move(other.previous_)),
      had_previous_(other.had_previous_),
      active_(std::exchange(other.active_, false)) {}

ComponentFactory::OverrideGuard::~OverrideGuard() {
  if (!active_) return;
  auto& creators = ComponentFactory::Instance().creators_;
  if (had_previous_) {
    creators[Key(prog_id_)] = std::move(previous_);
  } else {
    creators.erase(Key(prog_id_));
  }
}

}  // namespace fonwerk::com
