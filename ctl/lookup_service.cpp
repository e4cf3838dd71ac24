// The lookup service's answers.

#include "ctl/lookup_service.h"

#include <exception>
#include <iostream>

#include "base/errors.h"
#include "base/text.h"
#include "ctl/lookup_json.h"
#include "ctl/reverse_lookup.h"
#include "ctl/service_secret.h"
#include "phone/incoming_number.h"

namespace fonwerk::ctl {
namespace {

constexpr const char* kNumberNames[] = {"number", "phone", "phoneNumber", "telephone"};
constexpr const char* kHealthQuery = "SELECT 1 FROM TAPI WHERE 1 = 0";

ServiceResponse ErrorResponse(int status, const std::string& message) {
  return {status, ErrorJson(message)};
}

bool IsConnectionLost(const std::exception& error) {
  const auto* db_error = dynamic_cast<const DbError*>(&error);
  return db_error != nullptr && db_error->connection_lost();
}

// A statement cancelled by a recovery conflict on a replica, twice.
bool IsConflict(const std::exception& error) {
  const auto* db_error = dynamic_cast<const DbError*>(&error);
  return db_error != nullptr && db_error->sqlstate() == "40001";
}

// The answer to a failure of the database or the lookup, which is also logged:
// 503 when the database is away or did not answer within the budget, 500
// when it rejected the lookup.
ServiceResponse FailureResponse(const std::exception& error) {
  const bool timed_out = dynamic_cast<const LookupTimeout*>(&error) != nullptr;
  const bool unavailable = timed_out || IsConnectionLost(error) || IsConflict(error);
  const std::string message = (timed_out     ? "lookup timed out: "
                               : unavailable ? "database unavailable: "
                                             : "lookup failed: ") +
                              std::string(error.what());
  std::cerr << "fonwerkctl serve: " << message << std::endl;
  return ErrorResponse(unavailable ? 503 : 500, message);
}

// The first value of parameter `name`, or nullptr.
const std::string* Param(const std::multimap<std::string, std::string>& params, const char* name) {
  const auto found = params.lower_bound(name);
  return found == params.end() || found->first != name ? nullptr : &found->second;
}

}  // namespace

std::optional<std::string> RequestedNumber(const std::multimap<std::string, std::string>& params) {
  for (const char* name : kNumberNames) {
    const std::string* value = Param(params, name);
    if (value == nullptr) continue;
    if (text::TrimBlanks(*value).empty() || value->size() > kLongestNumber) return std::nullopt;
    return *value;
  }
  return std::nullopt;
}

LookupService::LookupService(LookupWorkers& workers, std::string secret)
    : workers_(workers), secret_(std::move(secret)) {}

bool LookupService::Authorised(const ServiceRequest& request) const {
  if (secret_.empty()) return true;
  const std::string* presented =
      request.api_key ? &*request.api_key : Param(request.params, "token");
  return presented != nullptr && SecretMatches(secret_, *presented);
}

ServiceResponse LookupService::Handle(const ServiceRequest& request) const {
  if (!Authorised(request)) return ErrorResponse(401, "missing or wrong API key");
  if (request.path == "/lookup") return Lookup(request);
  if (request.path == "/health") return Health();
  return ErrorResponse(404, "not found: use /lookup?number=N or /health");
}

ServiceResponse LookupService::Lookup(const ServiceRequest& request) const {
  const std::optional<std::string> requested = RequestedNumber(request.params);
  if (!requested) {
    return ErrorResponse(400,
                         "give the number as number=N (or phone, phoneNumber, telephone), "
                         "not blank and at most " +
                             std::to_string(kLongestNumber) + " bytes");
  }
  // A telephone system that puts the number into its URL unencoded sends
  // "+49..." as " 49...": the number is read, and answered, with its "+".
  const std::string number = WithUnencodedPlus(*requested);
  try {
    std::vector<Match> matches;
    workers_.Run([&](Installation& worker) { matches = ctl::Lookup(number, worker); });
    return {200, LookupJson(number, matches), matches.size()};
  } catch (const std::exception& error) {
    return FailureResponse(error);
  }
}

ServiceResponse LookupService::Health() const {
  try {
    workers_.Run([](Installation& worker) {
      worker.dal->GetRecordset(worker.connect, kHealthQuery)->Close();
    });
    return {200, HealthJson(std::nullopt)};
  } catch (const std::exception& error) {
    std::cerr << "fonwerkctl serve: health check failed: " << error.what() << std::endl;
    return {503, HealthJson(std::string(error.what()))};
  }
}

}  // namespace fonwerk::ctl
