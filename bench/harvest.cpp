#include "bench/harvest.h"

#include <utility>

namespace fonwerk::bench {
namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kOtherType = "{A0D59022-A36F-4F39-B049-D71477532307}";
constexpr std::string_view kFaxType = "{BC415F18-FB6F-4BAB-AF8F-8F4513302F96}";
constexpr std::string_view kEmailType = "{C451E716-7025-4EE9-8579-E2D0C6E26888}";
constexpr std::string_view kLineTypes[] = {
    "{1FEB2033-7850-44A0-919C-75BCC50F99B8}", "{074FBB74-EE19-44D5-9608-5B55D1F39DF4}",
    "{C30AEB5A-85F8-4335-B321-598AAEC8F40A}", "{53E57451-2D06-4927-B55A-2A25E5DCBA41}"};

std::string_view Trim(std::string_view s) {
  const size_t first = s.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

// Item `n` (from 0) of a TAB list, "" past its end.
std::string_view TabItem(std::string_view line, int n) {
  size_t start = 0;
  for (int i = 0; i < n; ++i) {
    const size_t tab = line.find('\t', start);
    if (tab == std::string_view::npos) return {};
    start = tab + 1;
  }
  return line.substr(start, line.find('\t', start) - start);
}

// Calls `visit(item, is_last)` for every item of a CR LF list, empty ones included.
template <class Visit>
void ForEachItem(std::string_view list, Visit&& visit) {
  size_t start = 0;
  while (true) {
    const size_t end = list.find(kCrLf, start);
    if (end == std::string_view::npos) {
      visit(list.substr(start), true);
      return;
    }
    visit(list.substr(start, end - start), false);
    start = end + kCrLf.size();
  }
}

}  // namespace

std::string_view ContactTypeOf(std::string_view key) {
  if (key.size() == 1 && key[0] >= '1' && key[0] <= '4') return kLineTypes[key[0] - '1'];
  std::string upper(key);
  for (char& c : upper) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  if (upper == "FAX") return kFaxType;
  if (upper == "EMAIL") return kEmailType;
  return kOtherType;  // "5" to "7" and every other key
}

std::string_view CutChars(std::string_view text, int32_t width) {
  if (width < 1) return text;
  int32_t chars = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (chars++ == width) return text.substr(0, i);
  }
  return text;
}

namespace {

// "+49 (0)89" reads as "+49 89": after plus, a country code of one to three
// digits and blanks, the trunk prefix in brackets is dropped.
void DropBracketedTrunkPrefix(std::string& number, const std::string& plus, const std::string& vaz) {
  if (plus.empty() || vaz.empty() || !number.starts_with(plus)) return;
  size_t pos = plus.size();
  while (pos < number.size() && number[pos] >= '0' && number[pos] <= '9') ++pos;
  if (pos == plus.size() || pos - plus.size() > 3) return;
  while (pos < number.size() && number[pos] == ' ') ++pos;
  if (number.compare(pos, vaz.size() + 2, "(" + vaz + ")") == 0) number.erase(pos, vaz.size() + 2);
}

// While the digits of `number` begin with the own-country prefix (other
// characters before and between them skipped): those digits become `vaz`,
// and a "(" vaz ")" right behind them (after separators) goes.
void ToNationalForm(std::string& number, const std::string& own_prefix, const std::string& plus,
                    const std::string& vaz) {
  const bool repeat = vaz.size() < own_prefix.size();
  for (bool again = true; again; again = repeat) {
    size_t pos = 0;
    bool matched = true;
    for (const char digit : own_prefix) {
      while (pos < number.size() && (number[pos] < '0' || number[pos] > '9')) ++pos;
      if (pos == number.size() || number[pos] != digit) {
        matched = false;
        break;
      }
      ++pos;
    }
    if (!matched) return;
    std::string rest = number.substr(pos);
    const size_t next = rest.find_first_not_of(" \t)-./");
    if (!plus.empty() && !vaz.empty() && next != std::string::npos &&
        rest.compare(next, vaz.size() + 2, "(" + vaz + ")") == 0) {
      rest.erase(next, vaz.size() + 2);
    }
    number = vaz + rest;
  }
}

// An address without the blanks, tabs and line breaks around it.
std::string_view TrimAddress(std::string_view address) {
  const size_t first = address.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  return address.substr(first, address.find_last_not_of(" \t\r\n") - first + 1);
}

}  // namespace

Harvester::Harvester(HarvestSettings settings)
    : settings_(std::move(settings)), own_prefix_(settings_.plus + settings_.code) {}

void Harvester::Harvest(std::string_view telefon, std::string_view fax, std::string_view email,
                        std::string_view weitemail,
                        const std::function<void(const HarvestedRow&)>& emit) {
  // The telephone lines and, as the last item, the fax line "\t<fax>\tFax".
  list_.assign(telefon).append(kCrLf).append("\t").append(fax).append("\tFax");
  int position = 0;
  ForEachItem(list_, [&](std::string_view item, bool is_last) {
    ++position;
    const std::string_view line = Trim(item);
    number_.assign(Trim(TabItem(line, 0))).append(Trim(TabItem(line, 1)));
    // Every "+" becomes the access prefix; the own-country prefix becomes the trunk prefix.
    for (size_t plus = number_.find('+'); plus != std::string::npos;
         plus = number_.find('+', plus + settings_.plus.size())) {
      number_.replace(plus, 1, settings_.plus);
    }
    DropBracketedTrunkPrefix(number_, settings_.plus, settings_.vaz);
    if (settings_.suspress && !settings_.code.empty()) {
      ToNationalForm(number_, own_prefix_, settings_.plus, settings_.vaz);
    }
    digits_.clear();
    for (char c : number_) {
      if (c >= '0' && c <= '9') digits_.push_back(c);
    }
    if (digits_.empty()) return;
    const std::string key = is_last ? std::string("FAX") : std::to_string(position);
    emit({CutChars(digits_, settings_.nummer_width),
          CutChars(TabItem(line, 2), settings_.bemerkung_width), ContactTypeOf(key)});
  });

  if (!TrimAddress(email).empty()) {
    emit({CutChars(TrimAddress(email), settings_.nummer_width), std::nullopt, kEmailType});
  }
  if (!Trim(weitemail).empty()) {
    ForEachItem(weitemail, [&](std::string_view address, bool) {
      address = TrimAddress(address);
      if (!address.empty())
        emit({CutChars(address, settings_.nummer_width), std::nullopt, kEmailType});
    });
  }
}

}  // namespace fonwerk::bench
