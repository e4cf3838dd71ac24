#pragma once
// Ownership of a C library's handle: a unique_ptr that gives the handle back
// with the library's own function (sqlite3_finalize, PQclear, ...).

#include <memory>

namespace fonwerk::bench {

template <auto Release>
struct Releaser {
  template <typename T>
  void operator()(T* handle) const noexcept {
    Release(handle);
  }
};

template <typename T, auto Release>
using Handle = std::unique_ptr<T, Releaser<Release>>;

}  // namespace fonwerk::bench
