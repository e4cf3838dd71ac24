#pragma once
// brixcom.cProgress: a progress bar on standard error.
//
// It draws only when standard error is a terminal: one line with the caption,
// a bar, "<count> von <max>", the rate per second and the time left. Progress()
// only stores the count; the line is repainted from platform::DoEvents(), at
// most about ten times a second, so a caller may report every single item.

#include <cstdint>
#include <ctime>
#include <string>

#include "com/components.h"

namespace fonwerk::com {

// The text of one progress line (without "\r"): caption, a bar,
// "<count> von <max>", "<rate>/s" and "noch <h:mm:ss|m:ss>" (the last two once
// a rate is known). It takes fewer than `width` columns: the caption is
// shortened, and on a narrow terminal the time left and the rate are dropped.
std::string RenderProgressLine(const std::string& caption, int64_t count, double max,
                               double elapsed_seconds, int width);

class cProgress : public IProgress {
 public:
  cProgress() = default;
  // Stops repainting; when something was drawn, draws the final state and ends
  // the line with a newline.
  ~cProgress() override;
  cProgress(const cProgress&) = delete;
  cProgress& operator=(const cProgress&) = delete;

  // Starts the display (draws at once when standard error is a terminal and
  // hooks into platform::DoEvents). `modeless` is accepted; the bar never blocks.
  void Show(const std::string& caption, bool modeless) override;
  // The upper end of the range (repainted at once when drawing); Null or Empty
  // count as 0. Throws Error 13 for a text that is no number.
  void Max(const Variant& max) override;
  // Stores the count; the display catches up at the next due repaint.
  void Progress(int32_t& count) override;

 private:
  void OnMessages();
  void Paint();

  std::string caption_;
  double max_ = 0;
  int64_t count_ = 0;
  timespec started_{};
  timespec next_paint_{};
  bool hooked_ = false;
  bool drawn_ = false;
};

}  // namespace fonwerk::com
