#pragma once
// The shared secret of the lookup service and where it may listen.

#include <optional>
#include <string>
#include <string_view>

namespace fonwerk::ctl {

// The secret requests must carry: the first line of `token_file` when one is
// given, else the environment variable FONWERK_TOKEN, else "" (no secret).
// A token file must be a regular file owned by the user running the service
// and readable by no one else (mode 600 or 400); its first line, without the
// line end and outer blanks, must not be empty. Throws Error naming the file
// otherwise. The secret itself never appears in a message.
std::string LoadSecret(const std::optional<std::string>& token_file);

// Whether `presented` is `secret`, in time that does not depend on how much
// of them agrees (both are hashed and the digests compared in constant time).
// REQUIRES: secret not empty.
bool SecretMatches(std::string_view secret, std::string_view presented);

// Whether `host` names the loopback interface only: "localhost", an IPv4
// address in 127.0.0.0/8 or "::1" (also written "[::1]").
bool IsLoopbackHost(const std::string& host);

}  // namespace fonwerk::ctl
