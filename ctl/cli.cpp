// fonwerkctl's command line, parsed with CLI11.

#include "ctl/cli.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <exception>
#include <memory>
#include <ostream>
#include <vector>

#include "base/errors.h"
#include "base/text.h"
#include "ctl/commands.h"
#include "ctl/help_text.h"
#include "ctl/installation.h"
#include "db/connection_string.h"

namespace fonwerk::ctl {
namespace {

#ifndef FONWERK_VERSION
#error "FONWERK_VERSION must give the project's version"
#endif
constexpr const char* kVersion = "fonwerkctl " FONWERK_VERSION;

// A message on one line: line breaks become blanks.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

// What a rejected command line is told: a word where a command belongs is an
// unknown command, named as given; otherwise CLI11's own message.
std::string ParseErrorText(const CLI::App& app, const CLI::ParseError& error) {
  if (app.get_subcommands().empty()) {
    for (const std::string& word : app.remaining()) {
      if (!word.empty() && word.front() != '-') return "unknown command '" + word + "'";
    }
  }
  return OneLine(error.what());
}

std::string JoinWords(const std::vector<std::string>& words, const std::string& separator) {
  std::string joined;
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (i > 0) joined += separator;
    joined += words[i];
  }
  return joined;
}

// The options and arguments CLI11 fills in.
struct Fields {
  std::string install;
  std::string plus, code, vaz, suspress;
  std::vector<std::string> words;
  std::vector<std::string> settings;
  int32_t row = 0;
  bool json = false;
  std::string kennung;
  std::string listen = "127.0.0.1:8080";
  std::string token_file;
  std::string tls_cert;
  std::string tls_key;
  std::string access_log;
  int32_t sessions = 4;
  int32_t budget_ms = 800;
  bool serve_watch = false;
  bool enable = false;
  bool disable = false;
  int32_t interval = 60;
  bool full = false;
  int32_t wait_seconds = 30;
};

// Adds a command that takes one or more words of text.
CLI::App* AddTextCommand(CLI::App& app, const char* name, const char* description,
                         const char* argument, Fields& fields) {
  CLI::App* command = app.add_subcommand(name, description);
  command->add_option(argument, fields.words, "the text (several words are joined)")->required();
  return command;
}

struct Commands {
  CLI::App* config;
  CLI::App* config_set;
  CLI::App* phones;
  CLI::App* refresh;
  CLI::App* serve;
  CLI::App* watch;
  CLI::App* sync;
  CLI::Option* row;
  CLI::Option* kennung;
  CLI::Option* token_file;
  CLI::Option* tls_cert;
  CLI::Option* tls_key;
  CLI::Option* access_log;
  std::vector<std::pair<CLI::App*, Command>> text_commands;
};

Commands DefineCommands(CLI::App& app, Fields& fields) {
  Commands c{};
  c.config = app.add_subcommand("config", "print the configuration (or change it with set)");
  c.config->require_subcommand(0, 1);
  c.config_set = c.config->add_subcommand("set", "change stored settings and print them");
  c.config_set->add_option("KEY=VALUE", fields.settings, "Active, Plus, VAZ or Suspress")
      ->required();
  c.text_commands = {
      {AddTextCommand(app, "dial", "dialling form of a number", "NUMBER", fields), Command::kDial},
      {AddTextCommand(app, "format", "display form of a number", "NUMBER", fields),
       Command::kFormat},
      {AddTextCommand(app, "prefix", "display form of an area part", "AREA", fields),
       Command::kPrefix},
      {AddTextCommand(app, "where-phone", "search condition for a number", "TEXT", fields),
       Command::kWherePhone},
      {AddTextCommand(app, "where-email", "search condition for an address", "TEXT", fields),
       Command::kWhereEmail},
  };
  CLI::App* lookup = AddTextCommand(app, "lookup", "contacts behind an incoming number or address",
                                    "NUMBER", fields);
  lookup->add_flag("--json", fields.json, "answer in JSON");
  c.text_commands.emplace_back(lookup, Command::kLookup);
  c.phones = app.add_subcommand("phones", "telephone entries of contacts");
  c.phones->add_option("KEYS", fields.words, "contact keys, separated by |")->required();
  c.row = c.phones->add_option("--row", fields.row, "a line position in a telephone field")
              ->type_name("N");
  c.refresh = app.add_subcommand("refresh", "rebuild the TAPI rows of one contact");
  c.refresh->add_option("KEY", fields.words, "the contact's key")->expected(1);
  c.kennung = c.refresh->add_option("--kennung", fields.kennung, "the contact's Kennung instead")
                  ->type_name("K");
  c.refresh->add_option("--wait", fields.wait_seconds, "seconds to wait for a running rebuild")
      ->type_name("S")
      ->check(CLI::Range(0, 86400));
  c.sync = app.add_subcommand("sync", "bring TAPI up to date by writing only the difference");
  c.sync->add_flag("--full", fields.full, "compare every contact with the rows TAPI holds");
  c.sync->add_flag("--json", fields.json, "print the summary as one JSON object");
  c.serve = app.add_subcommand("serve", "answer lookups over HTTP");
  c.serve->add_option("--listen", fields.listen, "address to listen on (default 127.0.0.1:8080)")
      ->type_name("HOST:PORT");
  c.token_file = c.serve->add_option("--token-file", fields.token_file, "file with the API key")
                     ->type_name("F");
  c.serve->add_option("--sessions", fields.sessions, "database sessions (default 4)")
      ->type_name("N")
      ->check(CLI::Range(1, 64));
  c.tls_cert =
      c.serve->add_option("--tls-cert", fields.tls_cert, "certificate chain (PEM): serve HTTPS")
          ->type_name("FILE");
  c.tls_key = c.serve->add_option("--tls-key", fields.tls_key, "private key (PEM) of --tls-cert")
                  ->type_name("FILE");
  c.tls_cert->needs(c.tls_key);
  c.tls_key->needs(c.tls_cert);
  c.access_log = c.serve->add_option("--access-log", fields.access_log, "one line per request")
                     ->type_name("FILE");
  c.serve
      ->add_option("--budget-ms", fields.budget_ms,
                   "time a lookup may take before it is answered 503 (default 800)")
      ->type_name("N")
      ->check(CLI::Range(10, 60000));
  c.serve->add_flag("--watch", fields.serve_watch, "keep TAPI current while serving");
  c.watch = app.add_subcommand("watch", "keep TAPI current, or install the change capture");
  CLI::Option* enable =
      c.watch->add_flag("--enable", fields.enable, "install the change capture on AD");
  CLI::Option* disable =
      c.watch->add_flag("--disable", fields.disable, "remove the change capture");
  CLI::Option* interval =
      c.watch->add_option("--interval", fields.interval, "seconds between whole-table refreshes")
          ->type_name("SECONDS")
          ->check(CLI::Range(1, 86400));
  enable->excludes(disable);
  interval->excludes(enable)->excludes(disable);
  return c;
}

// The options that replace configuration values for one run.
struct OverrideOptions {
  CLI::Option* plus;
  CLI::Option* code;
  CLI::Option* vaz;
  CLI::Option* suspress;
};

OverrideOptions DefineGlobalOptions(CLI::App& app, Fields& fields) {
  app.add_option("--install", fields.install, "installation folder (default: from the registry)")
      ->type_name("PATH");
  return {
      app.add_option("--plus", fields.plus, "international access prefix")->type_name("TEXT"),
      app.add_option("--code", fields.code, "own country code")->type_name("TEXT"),
      app.add_option("--vaz", fields.vaz, "trunk prefix")->type_name("TEXT"),
      app.add_option("--suspress", fields.suspress, "drop the trunk prefix")
          ->type_name("true|false"),
  };
}

Request BuildRequest(const Fields& fields, const Commands& commands,
                     const OverrideOptions& overrides) {
  Request request;
  request.install = fields.install;
  if (overrides.plus->count() > 0) {
    request.overrides.plus = CheckDigits(fields.plus, "--plus", DigitRule::kOneOrMore);
  }
  if (overrides.code->count() > 0) {
    request.overrides.code = CheckDigits(fields.code, "--code", DigitRule::kOneOrMore);
  }
  if (overrides.vaz->count() > 0) {
    request.overrides.vaz = CheckDigits(fields.vaz, "--vaz", DigitRule::kNoneOrMore);
  }
  if (overrides.suspress->count() > 0) {
    request.overrides.suspress = ParseFlag(fields.suspress, "--suspress");
  }

  if (commands.config->parsed()) {
    request.command = commands.config_set->parsed() ? Command::kConfigSet : Command::kConfig;
    for (const std::string& setting : fields.settings) {
      request.settings.push_back(ParseSetting(setting));
    }
    if (request.command == Command::kConfigSet && request.overrides.any()) {
      throw UsageError(
          "config set stores settings; --plus, --code, --vaz and --suspress "
          "cannot be combined with it");
    }
  } else if (commands.phones->parsed()) {
    request.command = Command::kPhones;
    request.argument = JoinWords(fields.words, "|");
    if (commands.row->count() > 0) request.row = fields.row;
  } else if (commands.refresh->parsed()) {
    request.command = Command::kRefresh;
    request.by_kennung = commands.kennung->count() > 0;
    if (request.by_kennung == !fields.words.empty()) {
      throw UsageError("refresh takes either a KEY or --kennung K");
    }
    request.argument = request.by_kennung ? fields.kennung : fields.words.front();
    request.wait_seconds = fields.wait_seconds;
  } else if (commands.sync->parsed()) {
    request.command = Command::kSync;
    request.full = fields.full;
    request.json = fields.json;
  } else if (commands.serve->parsed()) {
    request.command = Command::kServe;
    request.listen = fields.listen;
    if (commands.token_file->count() > 0) request.token_file = fields.token_file;
    request.sessions = fields.sessions;
    if (commands.tls_cert->count() > 0) request.tls_cert = fields.tls_cert;
    if (commands.tls_key->count() > 0) request.tls_key = fields.tls_key;
    if (commands.access_log->count() > 0) request.access_log = fields.access_log;
    request.budget_ms = fields.budget_ms;
    request.serve_watch = fields.serve_watch;
  } else if (commands.watch->parsed()) {
    request.command = Command::kWatch;
    request.watch = fields.enable    ? WatchAction::kEnable
                    : fields.disable ? WatchAction::kDisable
                                     : WatchAction::kFollow;
    request.interval = fields.interval;
  } else {
    for (const auto& [app, command] : commands.text_commands) {
      if (app->parsed()) request.command = command;
    }
    request.argument = JoinWords(fields.words, " ");
    request.json = fields.json;
  }
  return request;
}

}  // namespace

bool ParseFlag(const std::string& text, const std::string& what) {
  const std::string value = text::AsciiLower(text);
  if (value == "true" || value == "yes" || value == "1" || value == "-1") return true;
  if (value == "false" || value == "no" || value == "0") return false;
  throw UsageError(what + " takes true or false, not '" + text + "'");
}

std::string CheckDigits(const std::string& value, const std::string& what, DigitRule rule) {
  const bool digits_only =
      std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (value.empty() && rule == DigitRule::kOneOrMore) {
    throw UsageError(what + " takes one or more digits, not ''");
  }
  if (!digits_only) {
    throw UsageError(what + " takes digits only" +
                     std::string(rule == DigitRule::kNoneOrMore ? " (or nothing)" : "") +
                     ", not '" + value + "'");
  }
  return value;
}

Setting ParseSetting(const std::string& argument) {
  const auto equals = argument.find('=');
  if (equals == std::string::npos) {
    throw UsageError("config set takes KEY=VALUE, not '" + argument + "'");
  }
  const std::string key = text::AsciiLower(argument.substr(0, equals));
  const std::string value = argument.substr(equals + 1);
  if (key == "active") return {SettingKey::kActive, {}, ParseFlag(value, "Active")};
  if (key == "suspress") return {SettingKey::kSuspress, {}, ParseFlag(value, "Suspress")};
  if (key == "plus") {
    return {SettingKey::kPlus, CheckDigits(value, "Plus", DigitRule::kOneOrMore), false};
  }
  if (key == "vaz") {
    return {SettingKey::kVaz, CheckDigits(value, "VAZ", DigitRule::kNoneOrMore), false};
  }
  throw UsageError("unknown setting '" + argument.substr(0, equals) +
                   "' (settings: Active, Plus, VAZ, Suspress)");
}

Parsed ParseCommandLine(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  CLI::App app(kHelpDescription, "fonwerkctl");
  app.footer(kHelpFooter);
  app.set_version_flag("--version", kVersion, "print the program's name and version, then exit");
  app.require_subcommand(1);
  app.fallthrough();
  Fields fields;
  const OverrideOptions overrides = DefineGlobalOptions(app, fields);
  const Commands commands = DefineCommands(app, fields);
  try {
    app.parse(argc, argv);
    return {BuildRequest(fields, commands, overrides), kExitMatched};
  } catch (const CLI::CallForHelp& help) {
    app.exit(help, out, err);
    return {std::nullopt, kExitMatched};
  } catch (const CLI::CallForAllHelp& help) {
    app.exit(help, out, err);
    return {std::nullopt, kExitMatched};
  } catch (const CLI::CallForVersion&) {
    out << kVersion << "\n";
    return {std::nullopt, kExitMatched};
  } catch (const CLI::ParseError& error) {
    err << "fonwerkctl: " << ParseErrorText(app, error) << " (see fonwerkctl --help)\n";
  } catch (const UsageError& error) {
    err << "fonwerkctl: " << OneLine(error.what()) << " (see fonwerkctl --help)\n";
  }
  return {std::nullopt, kExitUsage};
}

const char* CommandName(Command command) {
  switch (command) {
    case Command::kConfig:
    case Command::kConfigSet:
      return "config";
    case Command::kDial:
      return "dial";
    case Command::kFormat:
      return "format";
    case Command::kPrefix:
      return "prefix";
    case Command::kPhones:
      return "phones";
    case Command::kWherePhone:
      return "where-phone";
    case Command::kWhereEmail:
      return "where-email";
    case Command::kRefresh:
      return "refresh";
    case Command::kLookup:
      return "lookup";
    case Command::kServe:
      return "serve";
    case Command::kSync:
      return "sync";
    case Command::kWatch:
      return "watch";
  }
  return "";
}

int Run(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  const Parsed parsed = ParseCommandLine(argc, argv, out, err);
  if (!parsed.request) return parsed.exit_status;
  // The database server shows each session under the command that opened it.
  SetProgramName(std::string("fonwerkctl ") + CommandName(parsed.request->command));
  try {
    // Lookups read from the replica that SQL.INI may name; the rest writes or
    // reads what it is about to write, from [Database].
    const Command command = parsed.request->command;
    Installation installation = OpenInstallation(
        parsed.request->install, command == Command::kLookup || command == Command::kServe);
    ApplyOverrides(parsed.request->overrides, installation.phone);
    return Execute(*parsed.request, installation, out, err);
  } catch (const InstallationNotFound& error) {
    err << "fonwerkctl: " << OneLine(error.what()) << "\n";
    return kExitNotFound;
  } catch (const std::exception& error) {
    err << "fonwerkctl: " << OneLine(error.what()) << "\n";
  }
  return kExitError;
}

}  // namespace fonwerk::ctl
