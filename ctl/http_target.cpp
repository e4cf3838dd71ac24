// Request targets: the decoded path and query parameters (uriparser), and
// the target as logged, without the secret.

#include <sys/resource.h>
#include <uriparser/Uri.h>

#include <memory>

#include "ctl/http_server.h"

namespace fonwerk::ctl {
namespace {

// Decodes the escapes of `text` in place; a malformed one stays as it is.
void Unescape(std::string& text) {
  if (text.empty()) return;
  const char* end = uriUnescapeInPlaceExA(text.data(), URI_FALSE, URI_BR_DONT_TOUCH);
  text.resize(static_cast<std::size_t>(end - text.data()));
}

struct QueryListFree {
  void operator()(UriQueryListA* list) const { uriFreeQueryListA(list); }
};

std::optional<std::multimap<std::string, std::string>> Params(const std::string& query) {
  std::multimap<std::string, std::string> params;
  if (query.empty()) return params;
  UriQueryListA* raw = nullptr;
  int count = 0;
  if (uriDissectQueryMallocExA(&raw, &count, query.data(), query.data() + query.size(), URI_TRUE,
                               URI_BR_DONT_TOUCH) != URI_SUCCESS) {
    return std::nullopt;
  }
  const std::unique_ptr<UriQueryListA, QueryListFree> list(raw);
  for (const UriQueryListA* item = raw; item != nullptr; item = item->next) {
    params.emplace(item->key, item->value != nullptr ? item->value : "");
  }
  return params;
}

}  // namespace

std::optional<std::pair<std::string, std::multimap<std::string, std::string>>> SplitTarget(
    const std::string& target) {
  if (target.empty() || target.front() != '/') return std::nullopt;
  const std::size_t question = target.find('?');
  std::string path = target.substr(0, question);
  Unescape(path);
  auto params = Params(question == std::string::npos ? "" : target.substr(question + 1));
  if (!params) return std::nullopt;
  return std::make_pair(std::move(path), std::move(*params));
}

std::string WithoutToken(const std::string& target) {
  const std::size_t question = target.find('?');
  if (question == std::string::npos) return target;
  std::string kept = target.substr(0, question);
  char separator = '?';
  std::size_t begin = question + 1;
  while (begin <= target.size()) {
    std::size_t end = target.find('&', begin);
    if (end == std::string::npos) end = target.size();
    const std::string pair = target.substr(begin, end - begin);
    std::string name = pair.substr(0, pair.find('='));
    Unescape(name);  // as the service reads it: "%74oken" is the token too
    if (!pair.empty() && name != "token") {
      kept += separator + pair;
      separator = '&';
    }
    begin = end + 1;
  }
  return kept;
}

std::size_t RaiseOpenFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur == RLIM_INFINITY ? static_cast<std::size_t>(1) << 20
                                         : static_cast<std::size_t>(limit.rlim_cur);
}

}  // namespace fonwerk::ctl
