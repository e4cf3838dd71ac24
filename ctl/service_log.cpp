// The lookup service's logs.

#include "ctl/service_log.h"

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "base/errors.h"

namespace fonwerk::ctl {

std::string UtcTimeStamp(std::chrono::system_clock::time_point now) {
  const auto since = now.time_since_epoch();
  const time_t seconds = std::chrono::duration_cast<std::chrono::seconds>(since).count();
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(since).count() % 1000;
  tm parts{};
  gmtime_r(&seconds, &parts);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                static_cast<int>(millis));
  return text;
}

// Collects each thread's line and writes it whole, stamped, to the original buffer.
class StampedLines::Buffer : public std::streambuf {
 public:
  explicit Buffer(std::streambuf* target) : target_(target) {}

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    std::string& line = Line();
    line += traits_type::to_char_type(c);
    if (line.back() == '\n') Emit(line);
    return c;
  }

  std::streamsize xsputn(const char* text, std::streamsize count) override {
    for (std::streamsize i = 0; i < count; ++i) overflow(traits_type::to_int_type(text[i]));
    return count;
  }

  int sync() override {
    const std::lock_guard<std::mutex> lock(mutex_);
    return target_->pubsync();
  }

 private:
  std::string& Line() {
    thread_local std::string line;
    return line;
  }

  void Emit(std::string& line) {
    const std::string stamped = UtcTimeStamp(std::chrono::system_clock::now()) + " " + line;
    line.clear();
    const std::lock_guard<std::mutex> lock(mutex_);
    target_->sputn(stamped.data(), static_cast<std::streamsize>(stamped.size()));
    target_->pubsync();
  }

  std::streambuf* target_;
  std::mutex mutex_;
};

StampedLines::StampedLines(std::ostream& stream) : stream_(stream) {
  if (std::getenv("JOURNAL_STREAM") != nullptr) return;
  original_ = stream_.rdbuf();
  buffer_ = std::make_unique<Buffer>(original_);
  stream_.rdbuf(buffer_.get());
}

StampedLines::~StampedLines() {
  if (original_ != nullptr) stream_.rdbuf(original_);
}

AccessLog::AccessLog(std::string path) : path_(std::move(path)) {
  out_.open(path_, std::ios::app);
  if (!out_) throw Error(errnum::kPathFileAccess, "cannot write the access log " + path_);
}

void AccessLog::Write(const Exchange& exchange) {
  const std::string line = UtcTimeStamp(std::chrono::system_clock::now()) + " " + exchange.client +
                           " " + (exchange.method.empty() ? "-" : exchange.method) + " " +
                           (exchange.target.empty() ? "-" : exchange.target) + " " +
                           std::to_string(exchange.status) + " " +
                           std::to_string(exchange.took.count()) + "\n";
  const std::lock_guard<std::mutex> lock(mutex_);
  out_ << line;
}

void AccessLog::Flush() {
  const std::lock_guard<std::mutex> lock(mutex_);
  out_.flush();
}

void AccessLog::Reopen() {
  std::ofstream reopened(path_, std::ios::app);
  if (!reopened) return;
  const std::lock_guard<std::mutex> lock(mutex_);
  out_.flush();
  out_ = std::move(reopened);
}

}  // namespace fonwerk::ctl
