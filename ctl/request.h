#pragma once
// What one run of fonwerkctl was asked to do, as parsed from its command line.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace fonwerk::ctl {

// Exit statuses of fonwerkctl: those of fonwerk for the same cause. Status 2
// (some contacts failed) comes from sync only, as refresh handles one contact.
inline constexpr int kExitMatched = platform::kExitOk;        // done; searches: something matched
inline constexpr int kExitNoMatch = platform::kExitStopped;   // nothing matched, or unknown contact
inline constexpr int kExitNotFound = platform::kExitStopped;  // no path, folder or SQL.INI
inline constexpr int kExitSomeFailed = platform::kExitWithFailures;  // sync: contacts failed
inline constexpr int kExitError = platform::kExitRuntimeError;  // a failure; nothing was changed
inline constexpr int kExitUsage = 64;  // bad arguments (one line on standard error)

enum class Command {
  kConfig,
  kConfigSet,
  kDial,
  kFormat,
  kPrefix,
  kPhones,
  kWherePhone,
  kWhereEmail,
  kRefresh,
  kSync,
  kLookup,
  kServe,
  kWatch,
};

// What `watch` does: follow the changes, or install or remove the change capture.
enum class WatchAction { kFollow, kEnable, kDisable };

// Values that replace the loaded configuration for this run only.
struct Overrides {
  std::optional<std::string> plus;
  std::optional<std::string> code;
  std::optional<std::string> vaz;
  std::optional<bool> suspress;

  bool any() const { return plus || code || vaz || suspress; }
};

// One stored setting to change with `config set`.
enum class SettingKey { kActive, kPlus, kVaz, kSuspress };
struct Setting {
  SettingKey key;
  std::string text;   // for Plus and VAZ
  bool flag = false;  // for Active and Suspress
};

struct Request {
  std::string install;  // --install; empty: the registry's path
  Overrides overrides;
  Command command = Command::kConfig;
  std::string argument;                   // the command's text argument
  std::vector<Setting> settings;          // config set
  std::optional<int32_t> row;             // phones --row
  bool json = false;                      // lookup --json, sync --json
  bool full = false;                      // sync --full
  int32_t wait_seconds = 30;              // refresh --wait: how long to wait for the lock
  bool by_kennung = false;                // refresh --kennung: the argument is a Kennung
  std::string listen = "127.0.0.1:8080";  // serve --listen
  std::optional<std::string> token_file;  // serve --token-file
  int32_t sessions = 4;                   // serve --sessions
  int32_t budget_ms = 800;                // serve --budget-ms: time budget of one lookup
  bool serve_watch = false;               // serve --watch: a follower inside the service
  WatchAction watch = WatchAction::kFollow;  // watch --enable, --disable
  int32_t interval = 60;                     // watch --interval SECONDS
  std::optional<std::string> tls_cert;    // serve --tls-cert (with tls_key)
  std::optional<std::string> tls_key;     // serve --tls-key
  std::optional<std::string> access_log;  // serve --access-log
};

}  // namespace fonwerk::ctl
