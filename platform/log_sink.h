#pragma once
// The run log as the library sees it: somewhere to append a line.
//
// The batch program owns its run log (platform/run_log.h) and hands a sink to
// the objects that write to it; code run by other programs holds no sink, and
// its lines go nowhere.

#include <functional>
#include <string>

namespace fonwerk::platform {

// Appends one line (without time stamp or line end: the sink adds them).
// May throw fonwerk::Error when the log cannot be written.
using LogSink = std::function<void(const std::string& line)>;

}  // namespace fonwerk::platform
