// fonwerk: rebuilds the telephone lookup table of a Korvana installation.
// Usage: fonwerk [installation path]

#include <exception>
#include <new>

#include "batch/mod_fonwerk.h"
#include "services/errors.h"
#include "services/platform.h"

int main(int argc, char** argv) {
  using namespace fonwerk;
  try {
    return modFonwerk::Main(platform::CommandLine(argc, argv));
  } catch (const Error& error) {
    platform::ReportRuntimeError(error);
  } catch (const std::bad_alloc&) {
    platform::ReportRuntimeError(7, "Nicht genügend Speicher");
  } catch (const std::exception& error) {
    platform::ReportRuntimeError(errnum::kProvider, error.what());
  }
  return platform::kExitRuntimeError;
}
