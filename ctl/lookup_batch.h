#pragma once
// The answers of `fonwerkctl lookup`: for one number, and for a stream of
// numbers read from standard input (`lookup -`) by one process.

#include <iosfwd>
#include <string>

#include "ctl/installation.h"

namespace fonwerk::ctl {

// Looks `number` up and prints the answer: one line per match (FormatMatch),
// or with `json` one line of LookupJson. Returns kExitMatched when something
// matched, else kExitNoMatch. Throws on failure.
int LookupOne(const std::string& number, bool json, Installation& installation, std::ostream& out);

// Reads one number per line from `in` (a CR before the line end is dropped)
// and prints exactly one line per input line, in order, flushed at once so
// that a program on the other end of a pipe can ask and read in turn:
//  - text: the number, TAB, the count of matches, then for every match TAB
//    and its FormatMatch fields (tabs and line breaks of the number become
//    blanks);
//  - json: LookupJson of the number.
// A blank line is answered with no matches. Returns kExitMatched when any
// line matched, else kExitNoMatch. Throws on failure (lines answered so far
// stay printed).
int LookupLines(std::istream& in, bool json, Installation& installation, std::ostream& out);

}  // namespace fonwerk::ctl
