#include "bench/contact_generator.h"

#include <cstdio>
#include <string_view>
#include <utility>
#include <vector>

namespace fonwerk::bench {
namespace {

template <class T, size_t N>
const T& Pick(Random& random, const T (&items)[N]) {
  return items[random.Below(N)];
}

constexpr const char* kFirstNames[] = {
    "Jürgen",  "Sören",  "Zoë",   "Björn",  "Hans-Peter", "Anna",       "Maria",  "Thomas",
    "Günther", "Käthe",  "Jörg",  "Ulrike", "Özlem",      "Françoise",  "Łukasz", "Michael",
    "Sabine",  "Stefan", "Renée", "Ines",   "Ute",        "Małgorzata", "Jan",    "Lena"};
constexpr const char* kLastNames[] = {
    "Müller",  "Schäfer", "Weiß",     "Größmann", "Jürgens", "Öztürk",  "Bäcker",
    "Schmidt", "Meyer",   "Hoffmann", "Köhler",   "Bürger",  "Krüger",  "Wagner",
    "Becker",  "Fuchs",   "Dürr",     "Lange",    "Nowak",   "Straßer", "Zimmermann",
    "Hübner",  "Vogel",   "Löffler",  "Brändle",  "Ähnlich", "Übel",    "Oßwald"};
constexpr const char* kCompanies[] = {
    "Müller & Söhne GmbH", "Bäckerei Schäfer",  "Weiß Elektrotechnik KG", "Öko-Strom Süd AG",
    "Krüger Logistik",     "Dürr Maschinenbau", "Hübner & Partner",       "Straßenbau Vogel",
    "Löffler Immobilien",  "Brändle Gärtnerei"};
constexpr const char* kStreets[] = {"Hauptstraße", "Bahnhofstr.", "Am Mühlbach",  "Königsallee",
                                    "Lindenweg",   "Schloßplatz", "Gartenstraße", "Über der Aue"};
struct Place {
  const char* plz;
  const char* ort;
  const char* land;
};
constexpr Place kPlaces[] = {{"80331", "München", "DEU"},  {"10115", "Berlin", "DEU"},
                             {"50667", "Köln", "DEU"},     {"40213", "Düsseldorf", "DEU"},
                             {"90402", "Nürnberg", "DEU"}, {"97070", "Würzburg", "DEU"},
                             {"02826", "Görlitz", "DEU"},  {"23552", "Lübeck", "DEU"},
                             {"1010", "Wien", "AUT"},      {"8001", "Zürich", "CHE"}};
constexpr const char* kAnreden[] = {"Herr", "Frau", "Firma", "Herr Dr.", "Frau Prof."};
constexpr const char* kRemarks[] = {"Zentrale",
                                    "Büro",
                                    "Mobil",
                                    "Privat",
                                    "Durchwahl",
                                    "Sekretariat Frau Müller",
                                    "Hauptanschluss",
                                    "Werk Süd",
                                    " Empfang",
                                    "Notfall (24 h)",
                                    "Ferienwohnung Österreich",
                                    "nur vormittags",
                                    "Zweigstelle Görlitz"};
constexpr const char* kMailHosts[] = {"web.de",      "gmx.de",    "t-online.de",
                                      "example.com", "posteo.de", "mailbox.org"};
// Own-country area codes without the trunk prefix.
constexpr const char* kAreas[] = {"30",   "40",   "89",   "221",  "69",  "711", "211",
                                  "351",  "341",  "511",  "911",  "421", "228", "6221",
                                  "7631", "3641", "8821", "4321", "160", "171", "1520"};
struct Country {
  const char* code;
  std::vector<const char*> areas;
};
const Country kForeign[] = {{"43", {"1", "662", "316", "512"}},
                            {"41", {"44", "31", "61"}},
                            {"1", {"212", "415", "617"}},
                            {"33", {"1", "4"}},
                            {"31", {"20", "10"}},
                            {"44", {"20", "161"}},
                            {"39", {"06", "02"}},
                            {"420", {"2"}}};
// Lines that hold no number, as users leave them.
constexpr const char* kNoNumberLines[] = {
    "",      "   ", "unbekannt", "siehe Zentrale\t\tHinweis", "\t\tnur Bemerkung",
    "k. A.", "\t",  "  \t  \t  "};

// ASCII spelling of a name, for keys and e-mail addresses.
std::string Ascii(std::string_view text) {
  static const std::pair<std::string_view, std::string_view> kMap[] = {
      {"ä", "ae"}, {"ö", "oe"}, {"ü", "ue"}, {"Ä", "Ae"}, {"Ö", "Oe"}, {"Ü", "Ue"}, {"ß", "ss"},
      {"ë", "e"},  {"é", "e"},  {"ç", "c"},  {"Ł", "L"},  {"ł", "l"},  {"ó", "o"},  {"ą", "a"}};
  std::string out;
  for (size_t i = 0; i < text.size();) {
    bool mapped = false;
    for (const auto& [from, to] : kMap) {
      if (text.substr(i).starts_with(from)) {
        out.append(to);
        i += from.size();
        mapped = true;
        break;
      }
    }
    if (!mapped) out.push_back(text[i++]);
  }
  return out;
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c == ' ' || c == '&') c = '-';
  }
  return text;
}

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// "123456" as "12 34 56".
std::string Spaced(const std::string& digits) {
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && i % 2 == 0) out.push_back(' ');
    out.push_back(digits[i]);
  }
  return out;
}

// A number of the own country in one of the notations users type.
std::string OwnNumber(Random& random, bool single_part) {
  const std::string area = Pick(random, kAreas);
  const std::string sub = random.Digits(5 + static_cast<int>(random.Below(4)));
  const std::string ext = random.Digits(1 + static_cast<int>(random.Below(3)));
  const uint32_t notation = random.Below(single_part ? 7 : 12);
  switch (notation) {
    case 0:
      return "0" + area + "/" + sub;
    case 1:
      return "(0" + area + ") " + Spaced(sub);
    case 2:
      return "0049 " + area + " " + sub;
    case 3:
      return "+49 (0)" + area + " " + sub;
    case 4:
      return "+49-" + area + "-" + sub + "-" + ext;
    case 5:
      return "0" + area + " " + sub + "-" + ext;
    case 6:
      return "+49 " + area + " " + sub;
    case 7:
      return "+49 " + area + "\t" + sub;
    case 8:
      return "00 49 " + area + "\t" + sub;
    case 9:
      return "(+49) " + area + "\t" + sub;
    case 10:
      return "0" + area + "\t" + sub;
    default:
      return " +49 " + area + " \t " + sub + " ";
  }
}

// A foreign number: "0043 1 234567", "+43 (1) 234567", "+1 212 555 0100", ...
std::string ForeignNumber(Random& random, bool single_part) {
  const Country& country = kForeign[random.Below(std::size(kForeign))];
  const std::string code = country.code;
  const std::string area = country.areas[random.Below(static_cast<uint32_t>(country.areas.size()))];
  if (code == "1") {
    const std::string exchange = random.Digits(3);  // one call per statement: a fixed order
    return "+1 " + area + " " + exchange + " " + random.Digits(4);
  }
  const std::string sub = random.Digits(5 + static_cast<int>(random.Below(3)));
  switch (random.Below(single_part ? 3 : 4)) {
    case 0:
      return "00" + code + " " + area + " " + sub;
    case 1:
      return "+" + code + " (" + area + ") " + sub;
    case 2:
      return "+" + code + "-" + area + "-" + sub;
    default:
      return "+" + code + " " + area + "\t" + sub;
  }
}

std::string LongRemark() {
  std::string remark;
  while (remark.size() < 320) remark.append("Durchwahl Geschäftsführung Müller/Weiß, ");
  return remark;
}

}  // namespace

std::array<Value, kAdColumns.size()> Contact::Values() const {
  return {dsn, kennung, anrede,  name, name2, firma,     strasse, plz,
          ort, land,    telefon, fax,  email, weitemail, notiz,   geaendert_am};
}

uint64_t Random::Next() {
  uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::string Random::Digits(int count) {
  std::string digits;
  for (int i = 0; i < count; ++i) {
    digits.push_back(static_cast<char>('0' + (i == 0 ? 1 + Below(9) : Below(10))));
  }
  return digits;
}

std::string ContactGenerator::Guid() {
  const uint64_t high = (random_.Next() & ~0xF000ull) | 0x4000ull;  // version 4
  const uint64_t low = (random_.Next() & 0x3FFFFFFFFFFFFFFFull) | 0x8000000000000000ull;
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%04X-%012llX}",
                static_cast<unsigned>(high >> 32), static_cast<unsigned>((high >> 16) & 0xFFFF),
                static_cast<unsigned>(high & 0xFFFF), static_cast<unsigned>(low >> 48),
                static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFull));
  return text;
}

std::string ContactGenerator::TelefonLine() {
  if (random_.Percent(6)) return Pick(random_, kNoNumberLines);
  std::string line =
      random_.Percent(75) ? OwnNumber(random_, false) : ForeignNumber(random_, false);
  const bool two_parts = line.find('\t') != std::string::npos;
  if (!two_parts && random_.Percent(2)) return line + "\tBüro";  // remark typed as part 2
  if (random_.Percent(60)) {
    const std::string remark = random_.Below(500) == 0 ? LongRemark() : Pick(random_, kRemarks);
    line.append(two_parts ? "\t" : "\t\t").append(remark);
  }
  if (random_.Percent(3)) line = "  " + line + " ";
  return line;
}

std::string ContactGenerator::Telefon() {
  static constexpr uint32_t kLineWeights[] = {30, 30, 20, 12, 8};  // 1 to 5 lines, in percent
  uint32_t roll = random_.Below(100);
  int lines = 1;
  for (uint32_t weight : kLineWeights) {
    if (roll < weight) break;
    roll -= weight;
    ++lines;
  }
  std::string telefon;
  for (int i = 0; i < lines; ++i) {
    if (i > 0) telefon.append("\r\n");
    if (i > 0 && random_.Percent(3)) telefon.append("\r\n");  // a blank line between
    telefon.append(TelefonLine());
  }
  if (random_.Percent(2)) telefon.append("\r\n");
  return telefon;
}

Value ContactGenerator::Fax() {
  const uint32_t roll = random_.Below(1000);
  if (roll < 380)
    return random_.Percent(85) ? OwnNumber(random_, true) : ForeignNumber(random_, true);
  if (roll < 450) return OwnNumber(random_, true) + "-99";
  if (roll < 530) return std::string();
  if (roll < 533) {
    const std::string main_number = OwnNumber(random_, true);
    return main_number + "\r\n" + OwnNumber(random_, true);
  }
  if (roll < 536) return "089\t" + random_.Digits(6);
  return std::nullopt;
}

Value ContactGenerator::Email(const std::string& first, const std::string& last,
                              const Value& company) {
  const uint32_t roll = random_.Below(100);
  if (roll < 20) return std::nullopt;
  if (roll < 25) return std::string();
  if (roll < 27) return std::string("   ");
  std::string host =
      company && random_.Percent(60) ? Lower(Ascii(*company)) + ".de" : Pick(random_, kMailHosts);
  std::string address = Lower(Ascii(first)) + "." + Lower(Ascii(last)) + "@" + host;
  if (roll < 30) address = Lower(first) + "@" + Lower(last) + ".de";  // umlauts kept
  if (roll < 33) address = " " + address + " ";
  return address;
}

Value ContactGenerator::FurtherEmails(const std::string& last) {
  const uint32_t roll = random_.Below(100);
  if (roll < 40) return std::nullopt;
  if (roll < 55) return std::string();
  const uint32_t count = 1 + random_.Below(3);
  std::string list;
  for (uint32_t i = 0; i < count; ++i) {
    if (i > 0) list.append("\r\n");
    if (i > 0 && random_.Percent(5)) list.append("\r\n");    // an empty line between
    if (i > 0 && random_.Percent(3)) list.append("  \r\n");  // a line of blanks
    list.append(Lower(Ascii(last)) + std::to_string(i + 1) + "@" + Pick(random_, kMailHosts));
  }
  if (random_.Percent(3)) list.append("\r\n");
  return list;
}

Contact ContactGenerator::Next() {
  const uint64_t index = index_++;
  Contact contact;
  contact.dsn = Guid();
  const std::string first = Pick(random_, kFirstNames);
  const std::string last = Pick(random_, kLastNames);
  char number[16];
  std::snprintf(number, sizeof number, "%08llu", static_cast<unsigned long long>(index));
  contact.kennung = Upper(Ascii(last)).substr(0, 10) + number;

  if (!random_.Percent(10)) contact.anrede = Pick(random_, kAnreden);
  contact.name = last;
  if (!random_.Percent(15)) contact.name2 = first;
  if (random_.Percent(55)) contact.firma = Pick(random_, kCompanies);
  if (!random_.Percent(8)) {
    const std::string street = Pick(random_, kStreets);
    contact.strasse = street + " " + std::to_string(1 + random_.Below(120));
    const Place& place = Pick(random_, kPlaces);
    contact.plz = place.plz;
    contact.ort = place.ort;
    if (!random_.Percent(10)) contact.land = place.land;
  }

  const uint32_t roll = random_.Below(100);
  if (roll >= 6)
    contact.telefon = Telefon();
  else if (roll >= 4)
    contact.telefon = std::string();
  contact.fax = Fax();
  contact.email = Email(first, last, contact.firma);
  contact.weitemail = FurtherEmails(last);
  if (random_.Percent(30))
    contact.notiz = "Kunde seit 20" + random_.Digits(2) + ".\r\nRückruf erwünscht.";
  // Drawn one by one: the order in which arguments are evaluated is unspecified.
  unsigned parts[5];
  const uint32_t ranges[5] = {12, 28, 24, 60, 60};
  for (int i = 0; i < 5; ++i) parts[i] = random_.Below(ranges[i]);
  char changed[32];
  std::snprintf(changed, sizeof changed, "2024-%02u-%02u %02u:%02u:%02u", parts[0] + 1,
                parts[1] + 1, parts[2], parts[3], parts[4]);
  contact.geaendert_am = changed;
  return contact;
}

}  // namespace fonwerk::bench
