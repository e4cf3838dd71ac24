#pragma once
// The lookup service's metrics, served as GET /metrics in the Prometheus
// text format (prometheus-cpp's registry and serializer):
//
//   fonwerk_http_requests_total{path,status}   counter; path is /lookup,
//                                               /health, /metrics or "other"
//   fonwerk_http_request_duration_seconds      histogram, from the complete
//                                               request to the answer sent
//   fonwerk_lookups_total{result}              counter; matched or missed
//   fonwerk_database_errors_total              counter; lookups and health
//                                               checks the database failed
//   fonwerk_database_reconnections_total       sessions opened anew after a
//                                               lost connection
//   fonwerk_database_reopens_total             all sessions reopened: SIGHUP,
//                                               the database file replaced
//   fonwerk_replica_fallbacks_total            lookups the replica could not
//                                               answer in time, asked of the primary
//   fonwerk_lookup_timeouts_total              requests answered 503 for want of time
//   fonwerk_sessions, fonwerk_sessions_busy    gauges
//   fonwerk_connections_open                   gauge
//   fonwerk_tapi_rows                          gauge; counted at most every
//                                               kRowsRefresh, on a scrape
// and, once a follower is attached (AttachFollower):
//   fonwerk_follower_oldest_unapplied_seconds  gauge
//   fonwerk_follower_changes_applied_total     counter

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "ctl/http_server.h"

namespace prometheus {
class Registry;
}  // namespace prometheus

namespace fonwerk::ctl {

// What a follower of the contact table's changes tells the metrics. Its
// methods are called on a scrape, from a worker thread: thread-safe.
class FollowerReadings {
 public:
  virtual ~FollowerReadings() = default;
  // Seconds since the oldest change not yet applied was made; 0 when none waits.
  virtual double OldestUnappliedSeconds() const = 0;
  // Changes applied since the service started.
  virtual std::uint64_t ChangesApplied() const = 0;
};

// Readings taken at each scrape from the parts that own them.
struct Gauges {
  std::function<std::size_t()> sessions;
  std::function<std::size_t()> sessions_busy;
  std::function<std::uint64_t()> reconnections;
  std::function<std::uint64_t()> replica_fallbacks;
  std::function<std::uint64_t()> timeouts;
  std::function<std::size_t()> connections_open;
  // Counts the rows of TAPI (a query); throws on a database failure.
  std::function<std::int64_t()> count_tapi_rows;
};

class ServiceMetrics {
 public:
  static constexpr std::chrono::seconds kRowsRefresh{15};

  ServiceMetrics();
  ~ServiceMetrics();
  ServiceMetrics(const ServiceMetrics&) = delete;
  ServiceMetrics& operator=(const ServiceMetrics&) = delete;

  // Before the service starts.
  void SetGauges(Gauges gauges);
  // The follower must outlive the metrics' last scrape (or be detached with nullptr).
  void AttachFollower(const FollowerReadings* follower);

  // Thread-safe.
  void Answered(const Exchange& exchange);
  void LookedUp(bool matched);
  void DatabaseFailed();
  void Reopened();

  // The exposition text; reads the gauges (and, when due, counts TAPI's rows).
  std::string Text();

 private:
  struct Families;
  void Refresh();

  std::shared_ptr<prometheus::Registry> registry_;
  std::unique_ptr<Families> families_;
  Gauges gauges_;
  std::mutex mutex_;  // for what follows, and the refresh
  const FollowerReadings* follower_ = nullptr;
  std::optional<std::chrono::steady_clock::time_point> rows_counted_;
};

}  // namespace fonwerk::ctl
