// Loading and checking the lookup service's shared secret.

#include "ctl/service_secret.h"

#include <arpa/inet.h>
#include <openssl/crypto.h>
#include <openssl/sha.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "base/errors.h"
#include "base/text.h"

namespace fonwerk::ctl {
namespace {

void RequireOwnerOnly(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    throw Error(errnum::kFileNotFound, "cannot read the token file " + path);
  }
  if (!S_ISREG(info.st_mode)) {
    throw Error(errnum::kPathFileAccess, "the token file " + path + " is not a regular file");
  }
  if (info.st_uid != ::geteuid() || (info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    throw Error(errnum::kPermissionDenied,
                "the token file " + path +
                    " must belong to the user running the service and be readable by no one "
                    "else (chmod 600)");
  }
}

std::string FirstLine(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string line;
  if (!in || !std::getline(in, line)) return {};
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return std::string(text::TrimBlanks(line));
}

using Digest = unsigned char[SHA256_DIGEST_LENGTH];

void Hash(std::string_view text, Digest digest) {
  SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
}

}  // namespace

std::string LoadSecret(const std::optional<std::string>& token_file) {
  if (token_file) {
    RequireOwnerOnly(*token_file);
    std::string secret = FirstLine(*token_file);
    if (secret.empty())
      throw Error(errnum::kInvalidArgument, "the token file " + *token_file + " is empty");
    return secret;
  }
  const char* from_environment = std::getenv("FONWERK_TOKEN");
  return from_environment != nullptr ? std::string(from_environment) : std::string();
}

bool SecretMatches(std::string_view secret, std::string_view presented) {
  Digest expected;
  Digest given;
  Hash(secret, expected);
  Hash(presented, given);
  return CRYPTO_memcmp(expected, given, SHA256_DIGEST_LENGTH) == 0;
}

bool IsLoopbackHost(const std::string& host) {
  if (host == "localhost" || host == "::1" || host == "[::1]") return true;
  in_addr address{};
  if (::inet_pton(AF_INET, host.c_str(), &address) != 1) return false;
  return (ntohl(address.s_addr) >> 24) == 127;
}

}  // namespace fonwerk::ctl
