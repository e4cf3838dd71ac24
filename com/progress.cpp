#include "com/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/platform.h"

namespace fonwerk::com {
namespace {

constexpr long kRepaintNanos = 100'000'000;  // at most ten repaints a second
constexpr int kDefaultWidth = 80;
constexpr int kMinCaptionColumns = 12;  // caption kept before rate and time left

// The progress object that owns the message hook, so that an older object
// going away does not unhook a newer one.
cProgress* g_hooked = nullptr;

// Coarse monotonic time: a few nanoseconds to read, fine enough for 100 ms.
timespec CoarseNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return now;
}

bool NotBefore(const timespec& a, const timespec& b) {
  return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec >= b.tv_nsec);
}

timespec Plus(timespec t, long nanos) {
  t.tv_nsec += nanos;
  while (t.tv_nsec >= 1'000'000'000) {
    t.tv_nsec -= 1'000'000'000;
    ++t.tv_sec;
  }
  return t;
}

double SecondsBetween(const timespec& from, const timespec& to) {
  return static_cast<double>(to.tv_sec - from.tv_sec) +
         static_cast<double>(to.tv_nsec - from.tv_nsec) / 1e9;
}

int TerminalWidth() {
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return kDefaultWidth;
}

std::string FormatDuration(double seconds) {
  const long total = std::lround(seconds);
  const long hours = total / 3600;
  const long minutes = (total / 60) % 60;
  const long secs = total % 60;
  char buffer[32];
  if (hours > 0) {
    std::snprintf(buffer, sizeof buffer, "%ld:%02ld:%02ld", hours, minutes, secs);
  } else {
    std::snprintf(buffer, sizeof buffer, "%ld:%02ld", minutes, secs);
  }
  return buffer;
}

// Columns a UTF-8 text takes (continuation bytes take none).
int Columns(const std::string& text) {
  int columns = 0;
  for (char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++columns;
  }
  return columns;
}

// `text` cut to at most `columns` columns, at a character boundary.
std::string FitColumns(const std::string& text, int columns) {
  if (columns <= 0) return std::string();
  int seen = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && ++seen > columns) {
      return text.substr(0, i);
    }
  }
  return text;
}

std::string Bar(double fraction, int width) {
  const int filled = static_cast<int>(fraction * width);
  return "[" + std::string(static_cast<size_t>(filled), '#') +
         std::string(static_cast<size_t>(width - filled), '-') + "]";
}

}  // namespace

std::string RenderProgressLine(const std::string& caption, int64_t count, double max,
                               double elapsed_seconds, int width) {
  const double fraction = max > 0 ? std::clamp(static_cast<double>(count) / max, 0.0, 1.0) : 0.0;
  const std::string counts =
      " " + std::to_string(count) + " von " + std::to_string(std::llround(max));
  std::string rate_text;
  std::string left_text;
  const double rate = elapsed_seconds > 0.05 ? static_cast<double>(count) / elapsed_seconds : 0.0;
  if (rate > 0) {
    rate_text = "  " + std::to_string(std::llround(rate)) + "/s";
    if (max > static_cast<double>(count)) {
      left_text = "  noch " + FormatDuration((max - static_cast<double>(count)) / rate);
    }
  }
  const std::string bar = Bar(fraction, std::clamp(width / 4, 10, 40));
  // On a narrow terminal the time left goes first, then the rate.
  const int wanted_caption = std::min(Columns(caption), kMinCaptionColumns);
  std::string tail = counts + rate_text + left_text;
  for (const std::string& shorter : {counts + rate_text, counts}) {
    if (width - 2 - Columns(bar) - Columns(tail) >= wanted_caption) break;
    tail = shorter;
  }
  const int room = width - 2 - Columns(bar) - Columns(tail);
  return FitColumns(FitColumns(caption, room) + " " + bar + tail, width - 1);
}

cProgress::~cProgress() {
  if (g_hooked == this) {
    platform::SetMessageHook({});
    g_hooked = nullptr;
  }
  if (drawn_) {
    Paint();
    const char newline = '\n';
    (void)!::write(STDERR_FILENO, &newline, 1);
  }
}

void cProgress::Show(const std::string& caption, bool /*modeless*/) {
  caption_ = caption;
  started_ = CoarseNow();
  if (!isatty(STDERR_FILENO)) return;
  if (!hooked_) {
    platform::SetMessageHook([this] { OnMessages(); });
    g_hooked = this;
    hooked_ = true;
  }
  Paint();
}

void cProgress::Max(const Variant& max) {
  max_ = (max.IsNull() || max.IsEmpty()) ? 0.0 : max.ToDouble();
  if (drawn_) Paint();  // the range is set once, right after Show
}

void cProgress::Progress(int32_t& count) { count_ = count; }

void cProgress::OnMessages() {
  if (NotBefore(CoarseNow(), next_paint_)) Paint();
}

void cProgress::Paint() {
  const timespec now = CoarseNow();
  std::string line = "\r";
  line +=
      RenderProgressLine(caption_, count_, max_, SecondsBetween(started_, now), TerminalWidth());
  line += "\x1b[K";
  (void)!::write(STDERR_FILENO, line.data(), line.size());
  drawn_ = true;
  next_paint_ = Plus(now, kRepaintNanos);
}

}  // namespace fonwerk::com
