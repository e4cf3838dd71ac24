#pragma once
// Access to a component object that may not exist yet (before Init, or after
// its creation failed). Using a missing object is the automation error 91,
// the same failure a caller of the class would see from a late-bound call.

#include <memory>

#include "base/errors.h"

namespace fonwerk {

template <class T>
T& Require(const std::shared_ptr<T>& object) {
  if (!object) {
    throw Error(errnum::kObjectVariableNotSet,
                "Objektvariable oder With-Blockvariable nicht festgelegt");
  }
  return *object;
}

}  // namespace fonwerk
