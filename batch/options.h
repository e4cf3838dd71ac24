#pragma once
// The command line of the batch program fonwerk:
//   fonwerk [--log PATH] [--wait-readers SECONDS] [installation path]
//   fonwerk --help | --version

#include <optional>
#include <string>

namespace fonwerk::modFonwerk {

struct BatchOptions {
  enum class Action { kRebuild, kHelp, kVersion, kUsageError };
  Action action = Action::kRebuild;
  std::optional<std::string> log_path;  // --log PATH (or --log=PATH)
  int wait_readers = 600;  // --wait-readers SECONDS: how long the swap waits for readers of TAPI
  std::string command_line;             // the rest, joined with single blanks: the installation path
  std::string error;                    // kUsageError: what is wrong
};

// Options are read only before the path: the first word that is not one of
// them (or everything after "--") starts the installation path, which is then
// taken literally. Before it, a word that starts with "--" and is no option
// is a usage error. --help and --version end the reading: the first of them
// decides (-h is --help only when it stands alone).
BatchOptions ParseBatchOptions(int argc, const char* const* argv);

// The text of fonwerk --help.
std::string BatchUsage();

}  // namespace fonwerk::modFonwerk
