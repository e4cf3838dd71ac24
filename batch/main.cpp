// fonwerk: rebuilds the telephone lookup table of a Korvana installation.
// Usage: fonwerk [--log PATH] [installation path]; fonwerk --help

#include <exception>
#include <new>

#include "base/errors.h"
#include "batch/mod_fonwerk.h"
#include "platform/platform.h"

namespace {

int RuntimeError(int32_t number, const std::string& description) {
  using namespace fonwerk;
  platform::ReportRuntimeError(number, description);
  modFonwerk::LogFailure(platform::RuntimeErrorText(number, description));
  return platform::kExitRuntimeError;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace fonwerk;
  try {
    return modFonwerk::Run(argc, argv);
  } catch (const Error& error) {
    return RuntimeError(error.number(), error.description());
  } catch (const std::bad_alloc&) {
    return RuntimeError(7, "Nicht genügend Speicher");
  } catch (const std::exception& error) {
    return RuntimeError(errnum::kProvider, error.what());
  }
}
