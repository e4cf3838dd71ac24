#include "tests/support/test_install.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <utility>

#include "com/session_pool.h"
#include "db/connection_string.h"
#include "db/session.h"
#include "tools/install.h"

extern char** environ;

namespace fonwerk::test {
namespace {

namespace fs = std::filesystem;

std::string RequireEnv(const char* name, const char* purpose) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') {
    throw std::runtime_error(std::string(name) + " is not set: " + purpose);
  }
  return value;
}

// ---------------------------------------------------------------- RunProgram

// A file descriptor that is closed when it goes out of scope.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    Reset();
    fd_ = std::exchange(other.fd_, -1);
    return *this;
  }
  ~Fd() { Reset(); }
  int get() const { return fd_; }
  bool open() const { return fd_ >= 0; }
  void Reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

struct Pipe {
  Fd read;
  Fd write;
};

Pipe MakePipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    throw std::runtime_error(std::string("pipe2 failed: ") + std::strerror(errno));
  }
  return Pipe{Fd(fds[0]), Fd(fds[1])};
}

std::vector<std::string> BuildEnvironment(const EnvOverrides& overrides) {
  std::map<std::string, std::string> vars;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const size_t eq = text.find('=');
    if (eq != std::string::npos) vars[text.substr(0, eq)] = text.substr(eq + 1);
  }
  for (const auto& [name, value] : overrides) {
    if (value) {
      vars[name] = *value;
    } else {
      vars.erase(name);
    }
  }
  std::vector<std::string> result;
  for (const auto& [name, value] : vars) result.push_back(name + "=" + value);
  return result;
}

std::vector<char*> PointerArray(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (auto& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Runs in the child between fork and exec: async-signal-safe calls only.
[[noreturn]] void ExecChild(const char* path, char* const* argv, char* const* envp, const Pipe& in,
                            const Pipe& out, const Pipe& err, const Pipe& report) {
  signal(SIGPIPE, SIG_DFL);
  if (dup2(in.read.get(), 0) < 0 || dup2(out.write.get(), 1) < 0 || dup2(err.write.get(), 2) < 0) {
    _exit(127);
  }
  execve(path, argv, envp);
  const int error = errno;
  ssize_t ignored = write(report.write.get(), &error, sizeof error);
  (void)ignored;
  _exit(127);
}

// The exec error the child reported, or 0 once exec has closed the report pipe.
int ReadExecError(const Fd& report) {
  int error = 0;
  ssize_t n;
  do {
    n = read(report.get(), &error, sizeof error);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(sizeof error) ? error : 0;
}

int WaitForExit(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// Moves data between the three pipes until both output pipes are at their end
// or the deadline has passed (then returns false).
bool Pump(Fd& in, const std::string& input, Fd& out, Fd& err, ProgramResult& result,
          std::chrono::steady_clock::time_point deadline) {
  size_t written = 0;
  if (input.empty()) in.Reset();
  char buffer[65536];
  while (out.open() || err.open()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd fds[3] = {{in.get(), POLLOUT, 0}, {out.get(), POLLIN, 0}, {err.get(), POLLIN, 0}};
    const int ready = poll(fds, 3, static_cast<int>(std::min<int64_t>(left.count(), 1000)));
    if (ready < 0 && errno != EINTR) throw std::runtime_error("poll failed");
    if (ready <= 0) continue;
    if (in.open() && fds[0].revents != 0) {
      const ssize_t n = write(in.get(), input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<size_t>(n);
      if ((n < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) in.Reset();
    }
    Fd* outputs[2] = {&out, &err};
    std::string* targets[2] = {&result.out, &result.err};
    for (int i = 0; i < 2; ++i) {
      if (!outputs[i]->open() || fds[i + 1].revents == 0) continue;
      const ssize_t n = read(outputs[i]->get(), buffer, sizeof buffer);
      if (n > 0) {
        targets[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        outputs[i]->Reset();
      }
    }
  }
  return true;
}

void IgnoreSigpipeOnce() {
  // A program that exits without reading its input must not take the test
  // process down with SIGPIPE; the child gets the default action back.
  static const bool done = [] {
    signal(SIGPIPE, SIG_IGN);
    return true;
  }();
  (void)done;
}

}  // namespace

// ---------------------------------------------------------------- TestInstall

TestInstall::TestInstall(Provider provider)
    : database_(provider, TestDatabase::Make::kNameOnly) {}

std::unique_ptr<TestInstall> TestInstall::Create(Provider provider, Options options) {
  install::Options install_options;
  install_options.schema = options.schema;
  install_options.countries = options.countries;
  install_options.demo = options.demo;
  install_options.land = options.land;

  // The object exists before anything is created, so a failure half-way is cleaned up.
  std::unique_ptr<TestInstall> result(new TestInstall(provider));
  if (provider == Provider::kSQLite) {
    result->connect_string_ = install::InstallSqlite(result->path(), install_options);
  } else {
    result->connect_string_ = result->database_.connect_string();
    install_options.force = true;  // a database left over by an earlier process of the same pid
    install::InstallPostgres(result->path(), result->connect_string_, install_options);
  }
  return result;
}

TestInstall::~TestInstall() { session_.reset(); }

std::string TestInstall::sql_ini_path() const { return path() + "/SQL/SQL.INI"; }

ado::Session& TestInstall::session() {
  if (!session_) session_ = install::OpenUnpooledSession(connect_string_);
  return *session_;
}

void TestInstall::Exec(const std::string& sql) { session().Execute(sql); }

std::vector<Row> TestInstall::Query(const std::string& sql) {
  std::unique_ptr<ado::Cursor> cursor = session().Query(sql, false);
  std::vector<Row> rows;
  std::vector<Variant> values;
  while (cursor->Next(values)) {
    Row& row = rows.emplace_back();
    for (const Variant& value : values) {
      if (value.IsNull() || value.IsEmpty()) {
        row.push_back(std::nullopt);
      } else {
        row.push_back(value.ToText());
      }
    }
  }
  return rows;
}

std::string SqlLiteral(const std::optional<std::string>& value) {
  if (!value) return "NULL";
  std::string quoted = "'";
  for (const char c : *value) quoted += c == '\'' ? std::string("''") : std::string(1, c);
  return quoted + "'";
}

// ---------------------------------------------------------------- programs

ProgramResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                         const std::string& stdin_text, const EnvOverrides& env,
                         int timeout_seconds) {
  IgnoreSigpipeOnce();
  std::vector<std::string> argv_texts{path};
  argv_texts.insert(argv_texts.end(), args.begin(), args.end());
  std::vector<std::string> env_texts = BuildEnvironment(env);
  std::vector<char*> argv = PointerArray(argv_texts);
  std::vector<char*> envp = PointerArray(env_texts);
  Pipe in = MakePipe();
  Pipe out = MakePipe();
  Pipe err = MakePipe();
  Pipe report = MakePipe();

  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error(std::string("fork failed: ") + std::strerror(errno));
  if (pid == 0) ExecChild(path.c_str(), argv.data(), envp.data(), in, out, err, report);

  in.read.Reset();
  out.write.Reset();
  err.write.Reset();
  report.write.Reset();
  if (const int error = ReadExecError(report.read); error != 0) {
    WaitForExit(pid);
    throw std::runtime_error("cannot start " + path + ": " + std::strerror(error));
  }

  fcntl(in.write.get(), F_SETFL, O_NONBLOCK);
  ProgramResult result;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  if (!Pump(in.write, stdin_text, out.read, err.read, result, deadline)) {
    kill(pid, SIGKILL);
    result.timed_out = true;
  }
  result.exit_code = WaitForExit(pid);
  return result;
}

std::string BinaryPath(const std::string& name) {
  static const std::map<std::string, std::string> kFolders = {
      {"fonwerk", "batch"}, {"fonwerkctl", "ctl"}, {"fonwerk-mkinstall", "tools"}};
  const auto folder = kFolders.find(name);
  if (folder == kFolders.end()) throw std::runtime_error("unknown program " + name);
  const std::string path =
      RequireEnv("FONWERK_BIN_DIR", "end-to-end tests need the build folder (ctest sets it)") +
      "/" + folder->second + "/" + name;
  if (!fs::exists(path)) throw std::runtime_error(path + " does not exist: build it first");
  return path;
}

}  // namespace fonwerk::test
