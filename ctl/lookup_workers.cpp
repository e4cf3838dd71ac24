// The lookup service's workers.

#include "ctl/lookup_workers.h"

#include "base/errors.h"
#include "com/component_factory.h"
#include "com/session_pool.h"
#include "db/connection_string.h"
#include "db/session.h"

namespace fonwerk::ctl {
namespace {

template <class T>
std::shared_ptr<T> Create(const char* prog_id) {
  return com::ComponentFactory::Instance().Create<T>(prog_id);
}

std::string WorkerConnectString(const std::string& connect, std::size_t slot) {
  ConnectionString parsed = ConnectionString::Parse(connect);
  parsed.Set("Application Name", "fonwerkctl serve " + std::to_string(slot + 1));
  return parsed.ToString();
}

std::unique_ptr<Installation> OpenWorker(const std::string& connect,
                                         const cCanonicalTelephone& settings) {
  auto worker = std::make_unique<Installation>();
  worker->connect = connect;
  worker->connection = std::make_unique<ado::Connection>();
  worker->connection->SetConnectionString(connect);
  worker->connection->Open();
  worker->util = Create<com::IUtil>(com::progid::kUtil);
  worker->dal = Create<com::IDal>(com::progid::kDal);
  worker->phone.Enabled = settings.Enabled;
  worker->phone.Plus = settings.Plus;
  worker->phone.code = settings.code;
  worker->phone.VAZ = settings.VAZ;
  worker->phone.Suspress = settings.Suspress;
  return worker;
}

bool ConnectionLost(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const DbError& error) {
    return error.connection_lost();
  } catch (...) {
    return false;
  }
}

}  // namespace

LookupWorkers::LookupWorkers(std::string connect, const cCanonicalTelephone& settings,
                             std::size_t count)
    : connect_(std::move(connect)), slots_(count) {
  settings_.Enabled = settings.Enabled;
  settings_.Plus = settings.Plus;
  settings_.code = settings.code;
  settings_.VAZ = settings.VAZ;
  settings_.Suspress = settings.Suspress;
  for (std::size_t slot = count; slot > 0; --slot) free_.push_back(slot - 1);
}

LookupWorkers::~LookupWorkers() = default;

std::size_t LookupWorkers::Borrow() {
  std::unique_lock<std::mutex> lock(mutex_);
  freed_.wait(lock, [this] { return !free_.empty(); });
  const std::size_t slot = free_.back();
  free_.pop_back();
  return slot;
}

void LookupWorkers::GiveBack(std::size_t slot) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    free_.push_back(slot);
  }
  freed_.notify_one();
}

// The slot is lent to the calling thread, so it is read and written without the lock.
Installation& LookupWorkers::Opened(std::size_t slot) {
  if (!slots_[slot]) slots_[slot] = OpenWorker(WorkerConnectString(connect_, slot), settings_);
  return *slots_[slot];
}

void LookupWorkers::Drop(std::size_t slot) {
  slots_[slot].reset();
  // The lost session is still pooled under the worker's connection string;
  // without it the next open connects anew. Other workers keep the sessions
  // they hold.
  ado::ResetSessionPool();
}

void LookupWorkers::Run(const std::function<void(Installation&)>& work) {
  const std::size_t slot = Borrow();
  struct Lent {
    LookupWorkers& workers;
    std::size_t slot;
    ~Lent() { workers.GiveBack(slot); }
  } lent{*this, slot};

  for (int attempt = 1;; ++attempt) {
    try {
      work(Opened(slot));
      return;
    } catch (...) {
      const std::exception_ptr failure = std::current_exception();
      if (!ConnectionLost(failure)) throw;
      Drop(slot);
      if (attempt == 2) throw;
    }
  }
}

}  // namespace fonwerk::ctl
