#pragma once
// Creates component objects by ProgID ("brixcom.cUtil", ...). Tests register
// doubles in place of the real classes with Override().

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "base/errors.h"
#include "com/components.h"

namespace fonwerk::com {

class ComponentFactory {
 public:
  using Creator = std::function<std::shared_ptr<Component>()>;

  static ComponentFactory& Instance();

  // Creates the object of `prog_id` (case-insensitive). Throws Error 429
  // ("Objekt kann nicht erstellt werden: <ProgID>") when the ProgID is unknown
  // or its creator fails, and 13 when the object lacks the interface `T`.
  template <class T>
  std::shared_ptr<T> Create(const std::string& prog_id) {
    std::shared_ptr<Component> object = CreateComponent(prog_id);
    auto typed = std::dynamic_pointer_cast<T>(object);
    if (!typed) throw Error(errnum::kTypeMismatch, "Typen unverträglich: " + prog_id);
    return typed;
  }

  std::shared_ptr<Component> CreateComponent(const std::string& prog_id);

  // Replaces the creator of `prog_id` until the returned guard is destroyed.
  class OverrideGuard {
   public:
    OverrideGuard(std::string prog_id, Creator previous, bool had_previous);
    ~OverrideGuard();
    OverrideGuard(OverrideGuard&&) noexcept;
    OverrideGuard(const OverrideGuard&) = delete;
    OverrideGuard& operator=(const OverrideGuard&) = delete;
    OverrideGuard& operator=(OverrideGuard&&) = delete;

   private:
    std::string prog_id_;
    Creator previous_;
    bool had_previous_;
    bool active_ = true;
  };
  [[nodiscard]] OverrideGuard Override(const std::string& prog_id, Creator creator);

  void Register(const std::string& prog_id, Creator creator);

 private:
  ComponentFactory();
  std::map<std::string, Creator> creators_;  // keys in lower case
};

// ProgIDs of the library.
namespace progid {
inline constexpr const char* kDBUtil = "brixcom.cDBUtil";
inline constexpr const char* kUtil = "brixcom.cUtil";
inline constexpr const char* kRegistry = "brixcom.cRegistry";
inline constexpr const char* kDbIni = "brixcom.cDbIni";
inline constexpr const char* kDal = "brixcom.cDal";
inline constexpr const char* kProgress = "brixcom.cProgress";
}  // namespace progid

}  // namespace fonwerk::com
