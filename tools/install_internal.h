#pragma once
// Helpers shared by the parts of the installation tooling (install*.cpp).
// Not used outside tools/.

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <string_view>

namespace fonwerk::install {

// `text` without leading and trailing blanks, tabs, CRs and LFs.
std::string TrimSpace(std::string_view text);

// The whole content of `file`. Throws InstallError when it cannot be read.
std::string ReadFile(const std::filesystem::path& file);

// Replaces `file` with `text`. Throws InstallError when it cannot be written.
void WriteFile(const std::filesystem::path& file, const std::string& text);

// Writes `text` to `file` through a new file beside it that is created with
// `mode` and then renamed over `file`: a file holding a secret is never
// readable by others, not even for a moment, and never half written.
// Throws InstallError naming the file and the system's reason.
void WriteFileWithMode(const std::filesystem::path& file, const std::string& text, mode_t mode);

}  // namespace fonwerk::install
