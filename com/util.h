#pragma once
// brixcom.cUtil: the text utilities of the component library (the helpers
// every layer shares are in base/text.h).
//
// Every operation works on bytes (UTF-8 text passes through untouched) and is
// cheap enough to be called several times per contact for a million contacts:
// no regular expressions, no streams, no locale look-ups.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/text.h"
#include "com/components.h"

namespace fonwerk::com {

// The translation service: this installation is German only, so every text
// comes back unchanged.
class cLanguagePack : public ILanguagePack {
 public:
  std::string TranslateString(const std::string& text) override { return text; }
};

class cUtil : public IUtil {
 public:
  // "" for Null and Empty, otherwise Variant::ToText().
  std::string k(const Variant& value) override;
  // Keep the ASCII digits 0-9 only (bytes: UTF-8 multibyte digits are dropped).
  std::string nur_zahlen(const std::string& text) override;
  std::string NurZahlen(const std::string& text) override;
  // A Boolean Variant: `text` begins with `start` (exact byte comparison;
  // an empty `start` is True).
  Variant BEG(const std::string& text, const std::string& start) override;
  // SqlQuote of k(key); a Null key gives the literal NULL (which matches no row
  // behind "="). Throws Error 5 for a key holding a NUL byte.
  std::string SqlUid(const Variant& key) override;
  // One more than the non-overlapping occurrences of `separator`; "" counts 1,
  // and so does any list when `separator` is empty.
  int32_t StrListCount(const std::string& list, const std::string& separator) override;
  // Item `position` (from 1); "" past the end or for position < 1. With an
  // empty separator the whole list is item 1.
  std::string StrListNr(const std::string& list, const std::string& separator,
                        int32_t position) override;
  std::vector<std::string> StrListItems(const std::string& list,
                                        const std::string& separator) override;
  // See NewGUID() in services/guid.h.
  std::string NewGUID() override;
  // When `text` without its trailing blanks ends with `tail` (exact, non-empty),
  // drops the tail and then the blanks before it: "DSN='a' OR " becomes "DSN='a'".
  // Otherwise (or for an empty tail) `text` is unchanged.
  void CutRight(std::string& text, const std::string& tail) override;
  // One shared translation object.
  std::shared_ptr<ILanguagePack> LanguagePack() override;
  // Writes the text and a newline to standard error (on a terminal after
  // clearing the current line, where a progress bar may stand).
  void MsgInfo(const std::string& text) override;
};

}  // namespace fonwerk::com
