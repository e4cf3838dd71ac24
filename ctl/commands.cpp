// The commands of fonwerkctl.

#include "ctl/commands.h"

#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "base/errors.h"
#include "base/variant.h"
#include "ctl/lookup_batch.h"
#include "ctl/reverse_lookup.h"
#include "ctl/serve.h"
#include "ctl/watch.h"
#include "ctl/sync.h"

namespace fonwerk::ctl {
namespace {

std::string BoolText(bool value) { return Variant(value).ToText(); }

// Calls `use(field, value)` with the member of `phone` that `setting` names
// and the setting's value for it.
template <class Phone, class Use>
auto WithSettingField(const Setting& setting, Phone& phone, Use&& use) {
  switch (setting.key) {
    case SettingKey::kActive:
      return use(phone.Enabled, setting.flag);
    case SettingKey::kPlus:
      return use(phone.Plus, setting.text);
    case SettingKey::kVaz:
      return use(phone.VAZ, setting.text);
    case SettingKey::kSuspress:
      break;
  }
  return use(phone.Suspress, setting.flag);
}

void ApplySetting(const Setting& setting, cCanonicalTelephone& phone) {
  WithSettingField(setting, phone, [](auto& field, const auto& value) { field = value; });
}

bool Kept(const Setting& setting, const cCanonicalTelephone& phone) {
  return WithSettingField(setting, phone,
                          [](const auto& field, const auto& value) { return field == value; });
}

// Stores the settings, then loads the configuration again so that what is
// printed is what the settings store now holds. SetCanonicalConfiguration
// lets no failure out, so a write that did not take shows here.
int SetConfiguration(const Request& request, Installation& installation, std::ostream& out) {
  cCanonicalTelephone& phone = installation.phone;
  for (const Setting& setting : request.settings) ApplySetting(setting, phone);
  phone.SetCanonicalConfiguration();
  phone.Init(installation.connect);
  for (const Setting& setting : request.settings) {
    if (!Kept(setting, phone)) {
      throw Error(errnum::kProvider, "the settings store did not keep the new settings");
    }
  }
  PrintConfiguration(phone, out);
  return kExitMatched;
}

int Phones(const Request& request, Installation& installation, std::ostream& out,
           std::ostream& err) {
  int32_t row = request.row.value_or(0);
  const std::string table = request.row ? installation.phone.GetPhone(request.argument, row)
                                        : installation.phone.GetPhone(request.argument);
  out << table;
  if (request.row) err << "row=" << row << "\n";
  return table.empty() ? kExitNoMatch : kExitMatched;
}

int LookupCommand(const Request& request, Installation& installation, std::ostream& out) {
  if (request.argument == "-") return LookupLines(std::cin, request.json, installation, out);
  return LookupOne(request.argument, request.json, installation, out);
}

// The key of the one contact with `kennung`; nullopt (and a message) when
// there is none or more than one.
std::optional<std::string> KeyOfKennung(const std::string& kennung, Installation& installation,
                                        std::ostream& err) {
  com::RecordsetRef rs = installation.dal->GetRecordset(
      installation.connect,
      "Select DSN From AD Where Kennung=" + installation.util->SqlUid(Variant(kennung)));
  std::vector<std::string> keys;
  for (; !rs->Eof(); rs->MoveNext()) keys.push_back(installation.util->k(rs->Fields(0).Value()));
  rs->Close();
  if (keys.size() == 1) return keys.front();
  if (keys.empty()) {
    err << "fonwerkctl: no contact with the Kennung " << kennung << "\n";
  } else {
    err << "fonwerkctl: the Kennung " << kennung << " belongs to " << keys.size()
        << " contacts; refresh one of them by its key:";
    for (const std::string& key : keys) err << " " << key;
    err << "\n";
  }
  return std::nullopt;
}

}  // namespace

void PrintConfiguration(const cCanonicalTelephone& phone, std::ostream& out) {
  out << "Enabled=" << BoolText(phone.Enabled) << "\n"
      << "Plus=" << phone.Plus << "\n"
      << "code=" << phone.code << "\n"
      << "VAZ=" << phone.VAZ << "\n"
      << "Suspress=" << BoolText(phone.Suspress) << "\n";
}

int Execute(const Request& request, Installation& installation, std::ostream& out,
            std::ostream& err) {
  cCanonicalTelephone& phone = installation.phone;
  std::string argument = request.argument;
  switch (request.command) {
    case Command::kConfig:
      PrintConfiguration(phone, out);
      return kExitMatched;
    case Command::kConfigSet:
      return SetConfiguration(request, installation, out);
    case Command::kDial:
      out << phone.GetCanonicalDialNumer(argument) << "\n";
      return kExitMatched;
    case Command::kFormat:
      out << phone.GetCanonicalTelefonFormat(argument) << "\n";
      return kExitMatched;
    case Command::kPrefix:
      out << phone.GetCanonicalPrefixFormat(argument) << "\n";
      return kExitMatched;
    case Command::kPhones:
      return Phones(request, installation, out, err);
    case Command::kWherePhone:
      out << phone.sql_WhereLikePhoneNumber(argument).text() << "\n";
      return kExitMatched;
    case Command::kWhereEmail:
      out << phone.sql_WhereLikeEMail(argument).text() << "\n";
      return kExitMatched;
    case Command::kRefresh: {
      if (!request.by_kennung) return Refresh(argument, request, installation, out, err);
      const std::optional<std::string> key = KeyOfKennung(argument, installation, err);
      return key ? Refresh(*key, request, installation, out, err) : kExitNoMatch;
    }
    case Command::kSync:
      return Sync(request, installation, out, err);
    case Command::kLookup:
      return LookupCommand(request, installation, out);
    case Command::kServe:
      return Serve(request, installation, err);
    case Command::kWatch:
      return Watch(request, installation, out, err);
  }
  return kExitError;
}

}  // namespace fonwerk::ctl
