// The lookup service's metrics.

#include "ctl/metrics.h"

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <iostream>

namespace fonwerk::ctl {
namespace {

using prometheus::Counter;
using prometheus::Family;
using prometheus::Gauge;

// Request durations from 100 µs to 2.5 s: a lookup takes well under a millisecond.
const prometheus::Histogram::BucketBoundaries kBuckets = {
    0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5};

std::string PathLabel(const std::string& path) {
  if (path == "/lookup" || path == "/health" || path == "/metrics") return path;
  return "other";
}

// Brings a counter up to `total`, a count kept elsewhere.
void CatchUp(Counter& counter, double total) {
  const double behind = total - counter.Value();
  if (behind > 0) counter.Increment(behind);
}

}  // namespace

struct ServiceMetrics::Families {
  explicit Families(prometheus::Registry& registry)
      : requests(prometheus::BuildCounter()
                     .Name("fonwerk_http_requests_total")
                     .Help("HTTP requests answered, by path and status")
                     .Register(registry)),
        duration(prometheus::BuildHistogram()
                     .Name("fonwerk_http_request_duration_seconds")
                     .Help("Time from the complete request to the answer sent")
                     .Register(registry)
                     .Add({}, kBuckets)),
        lookups(prometheus::BuildCounter()
                    .Name("fonwerk_lookups_total")
                    .Help("Lookups answered, by whether a contact matched")
                    .Register(registry)),
        matched(lookups.Add({{"result", "matched"}})),
        missed(lookups.Add({{"result", "missed"}})),
        database_errors(prometheus::BuildCounter()
                            .Name("fonwerk_database_errors_total")
                            .Help("Lookups and health checks the database failed")
                            .Register(registry)
                            .Add({})),
        reconnections(prometheus::BuildCounter()
                          .Name("fonwerk_database_reconnections_total")
                          .Help("Database sessions opened anew after a lost connection")
                          .Register(registry)
                          .Add({})),
        reopens(prometheus::BuildCounter()
                    .Name("fonwerk_database_reopens_total")
                    .Help("Times every session was reopened (SIGHUP, database file replaced)")
                    .Register(registry)
                    .Add({})),
        replica_fallbacks(prometheus::BuildCounter()
                              .Name("fonwerk_replica_fallbacks_total")
                              .Help("Lookups the replica could not answer in time, asked of the "
                                    "primary")
                              .Register(registry)
                              .Add({})),
        timeouts(prometheus::BuildCounter()
                     .Name("fonwerk_lookup_timeouts_total")
                     .Help("Requests that could not be answered within the budget (503)")
                     .Register(registry)
                     .Add({})),
        sessions(Single(registry, "fonwerk_sessions", "Database sessions of the service")),
        sessions_busy(Single(registry, "fonwerk_sessions_busy", "Sessions answering a request")),
        connections(Single(registry, "fonwerk_connections_open", "Open client connections")),
        tapi_rows(
            Single(registry, "fonwerk_tapi_rows", "Rows in TAPI, counted every 15 s at most")) {}

  static Gauge& Single(prometheus::Registry& registry, const char* name, const char* help) {
    return prometheus::BuildGauge().Name(name).Help(help).Register(registry).Add({});
  }

  Family<Counter>& requests;
  prometheus::Histogram& duration;
  Family<Counter>& lookups;
  Counter& matched;
  Counter& missed;
  Counter& database_errors;
  Counter& reconnections;
  Counter& reopens;
  Counter& replica_fallbacks;
  Counter& timeouts;
  Gauge& sessions;
  Gauge& sessions_busy;
  Gauge& connections;
  Gauge& tapi_rows;
  Gauge* follower_age = nullptr;
  Counter* follower_applied = nullptr;
};

ServiceMetrics::ServiceMetrics()
    : registry_(std::make_shared<prometheus::Registry>()),
      families_(std::make_unique<Families>(*registry_)) {}

ServiceMetrics::~ServiceMetrics() = default;

void ServiceMetrics::SetGauges(Gauges gauges) { gauges_ = std::move(gauges); }

void ServiceMetrics::AttachFollower(const FollowerReadings* follower) {
  const std::lock_guard<std::mutex> lock(mutex_);
  follower_ = follower;
  if (follower_ == nullptr || families_->follower_age != nullptr) return;
  families_->follower_age = &prometheus::BuildGauge()
                                 .Name("fonwerk_follower_oldest_unapplied_seconds")
                                 .Help("Age of the oldest change not yet applied to TAPI")
                                 .Register(*registry_)
                                 .Add({});
  families_->follower_applied = &prometheus::BuildCounter()
                                     .Name("fonwerk_follower_changes_applied_total")
                                     .Help("Changes applied to TAPI by the follower")
                                     .Register(*registry_)
                                     .Add({});
}

void ServiceMetrics::Answered(const Exchange& exchange) {
  families_->requests
      .Add({{"path", PathLabel(exchange.path)}, {"status", std::to_string(exchange.status)}})
      .Increment();
  families_->duration.Observe(std::chrono::duration<double>(exchange.took).count());
}

void ServiceMetrics::LookedUp(bool matched) {
  (matched ? families_->matched : families_->missed).Increment();
}

void ServiceMetrics::DatabaseFailed() { families_->database_errors.Increment(); }
void ServiceMetrics::Reopened() { families_->reopens.Increment(); }

void ServiceMetrics::Refresh() {
  if (gauges_.sessions) families_->sessions.Set(static_cast<double>(gauges_.sessions()));
  if (gauges_.sessions_busy) {
    families_->sessions_busy.Set(static_cast<double>(gauges_.sessions_busy()));
  }
  if (gauges_.reconnections) {
    CatchUp(families_->reconnections, static_cast<double>(gauges_.reconnections()));
  }
  if (gauges_.replica_fallbacks) {
    CatchUp(families_->replica_fallbacks, static_cast<double>(gauges_.replica_fallbacks()));
  }
  if (gauges_.timeouts) CatchUp(families_->timeouts, static_cast<double>(gauges_.timeouts()));
  if (gauges_.connections_open) {
    families_->connections.Set(static_cast<double>(gauges_.connections_open()));
  }
  if (follower_ != nullptr) {
    families_->follower_age->Set(follower_->OldestUnappliedSeconds());
    CatchUp(*families_->follower_applied, static_cast<double>(follower_->ChangesApplied()));
  }
  const auto now = std::chrono::steady_clock::now();
  if (gauges_.count_tapi_rows && (!rows_counted_ || now - *rows_counted_ >= kRowsRefresh)) {
    rows_counted_ = now;
    try {
      families_->tapi_rows.Set(static_cast<double>(gauges_.count_tapi_rows()));
    } catch (const std::exception& error) {
      // The last count stays; the failure counts as the database's.
      DatabaseFailed();
      std::cerr << "fonwerkctl serve: counting the rows of TAPI failed: " << error.what()
                << std::endl;
    }
  }
}

std::string ServiceMetrics::Text() {
  const std::lock_guard<std::mutex> lock(mutex_);
  Refresh();
  return prometheus::TextSerializer().Serialize(registry_->Collect());
}

}  // namespace fonwerk::ctl
