#include "com/util.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "base/errors.h"
#include "base/guid.h"
#include "base/text.h"

namespace fonwerk::com {

namespace {

std::string DigitsOnly(const std::string& text) {
  std::string digits;
  digits.reserve(text.size());
  for (char c : text) {
    if (c >= '0' && c <= '9') digits.push_back(c);
  }
  return digits;
}

// Calls `emit(item)` for every item of `list`, in order.
template <class Emit>
void ForEachItem(std::string_view list, std::string_view separator, Emit&& emit) {
  if (separator.empty()) {
    emit(list);
    return;
  }
  size_t start = 0;
  for (;;) {
    size_t hit = list.find(separator, start);
    if (hit == std::string_view::npos) break;
    emit(list.substr(start, hit - start));
    start = hit + separator.size();
  }
  emit(list.substr(start));
}

}  // namespace

std::string cUtil::k(const Variant& value) {
  if (value.IsText()) return value.text();
  if (value.IsNull() || value.IsEmpty()) return std::string();
  return value.ToText();
}

std::string cUtil::nur_zahlen(const std::string& text) { return DigitsOnly(text); }

std::string cUtil::NurZahlen(const std::string& text) { return DigitsOnly(text); }

Variant cUtil::BEG(const std::string& text, const std::string& start) {
  return Variant(text.starts_with(start));
}

std::string cUtil::SqlUid(const Variant& key) {
  if (key.IsNull()) return "NULL";
  if (key.IsText()) return text::SqlQuote(key.text());
  return text::SqlQuote(k(key));
}

int32_t cUtil::StrListCount(const std::string& list, const std::string& separator) {
  if (separator.empty()) return 1;
  int32_t count = 1;
  size_t start = 0;
  for (;;) {
    size_t hit = list.find(separator, start);
    if (hit == std::string::npos) return count;
    ++count;
    start = hit + separator.size();
  }
}

std::string cUtil::StrListNr(const std::string& list, const std::string& separator,
                             int32_t position) {
  if (position < 1) return std::string();
  if (separator.empty()) return position == 1 ? list : std::string();
  size_t start = 0;
  for (int32_t item = 1; item < position; ++item) {
    size_t hit = list.find(separator, start);
    if (hit == std::string::npos) return std::string();
    start = hit + separator.size();
  }
  size_t end = list.find(separator, start);
  if (end == std::string::npos) end = list.size();
  return list.substr(start, end - start);
}

std::vector<std::string> cUtil::StrListItems(const std::string& list,
                                             const std::string& separator) {
  std::vector<std::string> items;
  ForEachItem(list, separator, [&items](std::string_view item) { items.emplace_back(item); });
  return items;
}

std::string cUtil::NewGUID() { return com::NewGUID(); }

void cUtil::CutRight(std::string& text, const std::string& tail) {
  if (tail.empty()) return;
  std::string_view view(text);
  while (!view.empty() && view.back() == ' ') view.remove_suffix(1);
  if (!view.ends_with(tail)) return;
  view.remove_suffix(tail.size());
  while (!view.empty() && view.back() == ' ') view.remove_suffix(1);
  text.resize(view.size());
}

std::shared_ptr<ILanguagePack> cUtil::LanguagePack() {
  static const std::shared_ptr<ILanguagePack> pack = std::make_shared<cLanguagePack>();
  return pack;
}

void cUtil::MsgInfo(const std::string& text) {
  std::string line;
  line.reserve(text.size() + 4);
  // On a terminal a progress bar may stand on the current line: clear it, so
  // the message gets a line of its own (the bar repaints below it).
  if (isatty(STDERR_FILENO)) line.append("\r\x1b[K");
  line.append(text).push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace fonwerk::com
