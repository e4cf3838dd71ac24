// The lookup service's answers over HTTP.

#include "ctl/service_handler.h"

#include <exception>

#include "ctl/lookup_json.h"

namespace fonwerk::ctl {
namespace {

constexpr const char* kMetricsType = "text/plain; version=0.0.4; charset=utf-8";

}  // namespace

ServiceHandler::ServiceHandler(const LookupService& service, ServiceMetrics& metrics)
    : service_(service), metrics_(metrics) {}

HttpAnswer ServiceHandler::operator()(const HttpRequest& request) const {
  const ServiceRequest asked{request.path, request.params, request.api_key};
  if (request.path == "/metrics") {
    if (!service_.Authorised(asked)) return {401, ErrorJson("missing or wrong API key")};
    try {
      return {200, metrics_.Text(), kMetricsType};
    } catch (const std::exception& error) {
      return {500, ErrorJson(std::string("metrics failed: ") + error.what())};
    }
  }
  ServiceResponse answer = service_.Handle(asked);
  if (answer.matches) metrics_.LookedUp(*answer.matches > 0);
  if (answer.status == 500 || answer.status == 503) metrics_.DatabaseFailed();
  return {answer.status, std::move(answer.body)};
}

}  // namespace fonwerk::ctl
