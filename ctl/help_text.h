#pragma once
// The text of fonwerkctl --help (also the source of its man page).

namespace fonwerk::ctl {

// The line above the options, and the description of the commands and exit
// statuses below them.
extern const char* const kHelpDescription;
extern const char* const kHelpFooter;

}  // namespace fonwerk::ctl
