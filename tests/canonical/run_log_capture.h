#pragma once
// Points the run log at a temporary file for one test and reads it back.

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "batch/mod_fonwerk.h"

namespace fonwerk::test {

class RunLogCapture {
 public:
  RunLogCapture()
      : path_(std::filesystem::temp_directory_path() /
              ("fonwerk_log_" + std::to_string(::getpid()) + "_" + std::to_string(counter_++) + ".log")) {
    std::filesystem::remove(path_);
    modFonwerk::gstrLogFile = path_.string();
  }
  ~RunLogCapture() {
    modFonwerk::gstrLogFile.clear();
    std::filesystem::remove(path_);
  }

  // The texts of the lines, each without its time stamp and CR LF.
  std::vector<std::string> Texts() const {
    std::ifstream in(path_, std::ios::binary);
    std::vector<std::string> texts;
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const size_t sep = line.find(": ");
      texts.push_back(sep == std::string::npos ? line : line.substr(sep + 2));
    }
    return texts;
  }

 private:
  static inline int counter_ = 0;
  std::filesystem::path path_;
};

}  // namespace fonwerk::test
