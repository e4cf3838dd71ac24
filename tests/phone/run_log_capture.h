#pragma once
// Collects the run-log lines an object writes during one test.

#include <memory>
#include <string>
#include <vector>

#include "platform/log_sink.h"

namespace fonwerk::test {

class RunLogCapture {
 public:
  // The sink to hand to the object under test.
  platform::LogSink Sink() const {
    return [lines = lines_](const std::string& line) { lines->push_back(line); };
  }

  // The texts of the lines in the order written.
  std::vector<std::string> Texts() const { return *lines_; }

 private:
  std::shared_ptr<std::vector<std::string>> lines_ = std::make_shared<std::vector<std::string>>();
};

}  // namespace fonwerk::test
