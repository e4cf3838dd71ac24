#pragma once
// What the lookup service answers over HTTP: GET /metrics (behind the
// secret, like every path), and everything else by LookupService; lookups
// and database failures are counted in the metrics on the way.

#include "ctl/http_server.h"
#include "ctl/lookup_service.h"
#include "ctl/metrics.h"

namespace fonwerk::ctl {

class ServiceHandler {
 public:
  // Both must outlive the handler.
  ServiceHandler(const LookupService& service, ServiceMetrics& metrics);

  // Thread-safe; never throws.
  HttpAnswer operator()(const HttpRequest& request) const;

 private:
  const LookupService& service_;
  ServiceMetrics& metrics_;
};

}  // namespace fonwerk::ctl
