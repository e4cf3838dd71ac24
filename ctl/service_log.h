#pragma once
// The lookup service's logs: time stamps on standard error, and the access
// log (--access-log FILE), one line per request:
//   2026-12-09T11:30:00.123Z 127.0.0.1:40312 GET /lookup?number=089123456 200 412
// (time in UTC, client, method, target without the parameter token, status,
// microseconds from the complete request to the answer sent).

#include <fstream>
#include <memory>
#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>

#include "ctl/http_server.h"

namespace fonwerk::ctl {

// The time `now` as "YYYY-MM-DDTHH:MM:SS.mmmZ".
std::string UtcTimeStamp(std::chrono::system_clock::time_point now);

// While it lives, every line written to `stream` starts with a time stamp,
// unless the journal stamps them itself (JOURNAL_STREAM set). Lines written
// from several threads at once come out whole.
class StampedLines {
 public:
  explicit StampedLines(std::ostream& stream);
  ~StampedLines();
  StampedLines(const StampedLines&) = delete;
  StampedLines& operator=(const StampedLines&) = delete;

 private:
  class Buffer;
  std::ostream& stream_;
  std::streambuf* original_ = nullptr;
  std::unique_ptr<Buffer> buffer_;
};

class AccessLog {
 public:
  // Opens `path` for appending. Throws Error naming it when it cannot.
  explicit AccessLog(std::string path);

  void Write(const Exchange& exchange);  // buffered; thread-safe
  void Flush();
  // Opens the file anew (after it was rotated); keeps the old one on failure.
  void Reopen();

 private:
  std::string path_;
  std::mutex mutex_;
  std::ofstream out_;
};

}  // namespace fonwerk::ctl
