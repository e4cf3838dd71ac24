// The answers of `fonwerkctl lookup`, one number or one per input line.

#include "ctl/lookup_batch.h"

#include <istream>
#include <ostream>
#include <vector>

#include "base/text.h"
#include "ctl/lookup_json.h"
#include "ctl/request.h"
#include "ctl/reverse_lookup.h"

namespace fonwerk::ctl {
namespace {

std::vector<Match> Matches(const std::string& number, Installation& installation) {
  if (text::TrimBlanks(number).empty()) return {};
  return Lookup(number, installation);
}

std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\t' || c == '\r' || c == '\n') c = ' ';
  }
  return text;
}

std::string TextLine(const std::string& number, const std::vector<Match>& matches) {
  std::string line = OneLine(number) + "\t" + std::to_string(matches.size());
  for (const Match& match : matches) line += "\t" + FormatMatch(match);
  return line;
}

}  // namespace

int LookupOne(const std::string& number, bool json, Installation& installation, std::ostream& out) {
  const std::vector<Match> matches = Lookup(number, installation);
  if (json) {
    out << LookupJson(number, matches) << "\n";
  } else {
    for (const Match& match : matches) out << FormatMatch(match) << "\n";
  }
  return matches.empty() ? kExitNoMatch : kExitMatched;
}

int LookupLines(std::istream& in, bool json, Installation& installation, std::ostream& out) {
  bool any = false;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::vector<Match> matches = Matches(line, installation);
    any = any || !matches.empty();
    out << (json ? LookupJson(line, matches) : TextLine(line, matches)) << std::endl;
  }
  return any ? kExitMatched : kExitNoMatch;
}

}  // namespace fonwerk::ctl
