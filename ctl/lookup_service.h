#pragma once
// The lookup service's answers, independent of the HTTP server that carries
// them (ctl/serve.h), so that they can be tested and fuzzed without sockets.
//
//   GET /lookup?number=N   200 {"number": N, "matches": [...]} (ctl/lookup_json.h),
//                          with the matching rules of `fonwerkctl lookup`; a
//                          miss is 200 with "matches": []. The number may also
//                          be given as phone, phoneNumber or telephone (the
//                          first of these names present counts). Missing,
//                          blank or longer than kLongestNumber: 400. A
//                          blank before a digit at its start (a "+" sent
//                          unencoded) is read, and answered, as "+"
//                          (WithUnencodedPlus, phone/incoming_number.h).
//   GET /health            200 {"status": "ok"} when the database answers a
//                          query on TAPI, else 503 {"status": "unavailable", ...}.
//   anything else          404.
// With a secret, every request must carry it as header X-API-Key (which the
// HTTP server also fills from Authorization: Bearer) or query parameter
// token, else 401 (before anything else is looked at). Errors are
// {"error": text}; a lost database, or one that did not answer within the
// workers' budget (ctl/lookup_workers.h), gives 503, another failure 500.
// /health answers within the budget too, so it is 503 while lookups are
// blocked (TAPI locked on every server they may read from).

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "ctl/lookup_workers.h"

namespace fonwerk::ctl {

// The parts of a request the service reads.
struct ServiceRequest {
  std::string path;
  std::multimap<std::string, std::string> params;  // decoded query parameters
  std::optional<std::string> api_key;              // header X-API-Key
};

struct ServiceResponse {
  ServiceResponse() = default;
  ServiceResponse(int status_code, std::string json, std::optional<std::size_t> matched = {})
      : status(status_code), body(std::move(json)), matches(matched) {}

  int status = 200;
  std::string body;                    // JSON, one line
  std::optional<std::size_t> matches;  // a lookup answered: how many rows matched
};

// The longest number or address a lookup accepts, in bytes.
inline constexpr std::size_t kLongestNumber = 256;

// The number a lookup request asks for: the first of the parameters number,
// phone, phoneNumber and telephone that is present. nullopt when none is,
// or when it is blank or longer than kLongestNumber.
std::optional<std::string> RequestedNumber(const std::multimap<std::string, std::string>& params);

class LookupService {
 public:
  // `secret` "" lets every request in. The workers are the service's
  // database sessions; they must outlive the service.
  LookupService(LookupWorkers& workers, std::string secret);

  // Answers one request. Thread-safe; never throws (failures are answers).
  // Failures of the database are also written, one line each, to standard
  // error (without anything from the request).
  ServiceResponse Handle(const ServiceRequest& request) const;

  // Whether the request carries the secret (always, without one).
  bool Authorised(const ServiceRequest& request) const;

 private:
  ServiceResponse Lookup(const ServiceRequest& request) const;
  ServiceResponse Health() const;

  LookupWorkers& workers_;
  std::string secret_;
};

}  // namespace fonwerk::ctl
