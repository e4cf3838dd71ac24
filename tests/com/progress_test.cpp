#include "com/progress.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "tests/com/component_test_support.h"

namespace fonwerk::com {
namespace {

int VisibleColumns(const std::string& text) {
  int columns = 0;
  for (char c : text) columns += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return columns;
}

TEST(ProgressLine, ShowsCaptionBarCountRateAndTimeLeft) {
  const std::string line = RenderProgressLine("Erstelle TAPI-Tabelle neu...", 50, 100, 5.0, 100);
  EXPECT_EQ(line.rfind("Erstelle TAPI-Tabelle neu... [", 0), 0u) << line;
  EXPECT_NE(line.find("] 50 von 100"), std::string::npos) << line;
  EXPECT_NE(line.find("10/s"), std::string::npos) << line;
  EXPECT_NE(line.find("noch 0:05"), std::string::npos) << line;
  const size_t open = line.find('[');
  const std::string bar = line.substr(open + 1, line.find(']') - open - 1);
  EXPECT_EQ(bar.find('-'), bar.size() / 2) << bar;  // half filled
  const std::string long_run = RenderProgressLine("x", 1000, 1000000, 10.0, 120);
  EXPECT_NE(long_run.find("noch 2:46:30"), std::string::npos) << long_run;
}

TEST(ProgressLine, FitsTheTerminalByShorteningTheCaption) {
  const std::string caption = "Überlange Beschriftung " + std::string(200, 'x');
  for (int width : {40, 80, 132}) {
    const std::string line = RenderProgressLine(caption, 123456, 1000000, 3.0, width);
    EXPECT_LT(VisibleColumns(line), width) << line;
    EXPECT_NE(line.find("123456 von 1000000"), std::string::npos) << line;
    if (width >= 80) {
      EXPECT_EQ(line.rfind("Überlange Be", 0), 0u) << line;
    }
  }
}

TEST(ProgressLine, NarrowTerminalsLoseTimeLeftAndRateFirst) {
  const std::string line =
      RenderProgressLine("Erstelle TAPI-Tabelle neu...", 123456, 1000000, 3.0, 50);
  EXPECT_LT(VisibleColumns(line), 50) << line;
  EXPECT_EQ(line.find("noch"), std::string::npos) << line;
  EXPECT_NE(line.find("123456 von 1000000"), std::string::npos) << line;
  EXPECT_EQ(RenderProgressLine("x", 1, 2, 1.0, 5).size(), 4u);
}

TEST(ProgressLine, CopesWithoutRangeOrTime) {
  const std::string line = RenderProgressLine("c", 0, 0, 0.0, 80);
  EXPECT_NE(line.find("0 von 0"), std::string::npos) << line;
  EXPECT_EQ(line.find("/s"), std::string::npos) << line;
  const std::string overrun = RenderProgressLine("c", 20, 10, 1.0, 80);
  EXPECT_EQ(overrun.find('-'), std::string::npos) << overrun;  // a full bar, no more
}

// Puts `fd` in place of standard error until destroyed.
class StderrRedirect {
 public:
  explicit StderrRedirect(int fd) : saved_(dup(STDERR_FILENO)) { dup2(fd, STDERR_FILENO); }
  ~StderrRedirect() {
    dup2(saved_, STDERR_FILENO);
    close(saved_);
  }

 private:
  int saved_;
};

// Everything readable from `fd` within `wait`.
std::string Drain(int fd, std::chrono::milliseconds wait) {
  std::string text;
  pollfd p{fd, POLLIN, 0};
  while (poll(&p, 1, static_cast<int>(wait.count())) > 0) {
    char buffer[4096];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
    wait = std::chrono::milliseconds(20);
  }
  return text;
}

TEST(Progress, DrawsNothingWhenStandardErrorIsNoTerminal) {
  testing::TempDir dir;
  const std::string file = dir.File("stderr.txt");
  const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  {
    StderrRedirect redirect(fd);
    cProgress progress;
    progress.Show("Erstelle TAPI-Tabelle neu...", true);
    progress.Max(Variant(int64_t{3}));
    for (int32_t i = 1; i <= 3; ++i) {
      progress.Progress(i);
      platform::DoEvents();
    }
  }
  close(fd);
  struct stat info {};
  ASSERT_EQ(stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_size, 0);
}

TEST(Progress, RepaintsATerminalAtMostTenTimesASecond) {
  int master = -1;
  int slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  std::string first;
  std::string throttled;
  std::string later;
  std::string last;
  {
    StderrRedirect redirect(slave);
    {
      cProgress progress;
      progress.Show("Erstelle TAPI-Tabelle neu...", true);
      progress.Max(Variant("1000"));
      first = Drain(master, std::chrono::milliseconds(200));

      int32_t count = 1;
      progress.Progress(count);
      platform::DoEvents();
      throttled = Drain(master, std::chrono::milliseconds(0));

      std::this_thread::sleep_for(std::chrono::milliseconds(150));
      count = 2;
      progress.Progress(count);  // stores only
      platform::DoEvents();      // the repaint is due now
      later = Drain(master, std::chrono::milliseconds(200));
      count = 1000;
      progress.Progress(count);
    }
    last = Drain(master, std::chrono::milliseconds(200));
    platform::DoEvents();  // the hook went with the object
  }
  close(slave);
  close(master);
  EXPECT_NE(first.find("Erstelle TAPI-Tabelle neu..."), std::string::npos) << first;
  EXPECT_NE(first.find("0 von 1000"), std::string::npos) << first;
  EXPECT_EQ(throttled, "");
  EXPECT_NE(later.find("2 von 1000"), std::string::npos) << later;
  EXPECT_NE(last.find("1000 von 1000"), std::string::npos) << last;
  EXPECT_EQ(last.back(), '\n') << last;
}

}  // namespace
}  // namespace fonwerk::com
