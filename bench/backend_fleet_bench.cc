// The largest simulated fleet one `tavoren-backend serve` process holds
// with a p99 latency within a bound, on this machine.
//
//   build/default/bin/bench_backend_fleet [--sizes 1000,2500,5000,10000] [--window 40]
//                                         [--poll 25] [--log-interval 10] [--busy 0.5]
//                                         [--ramp 500] [--max-p99 100] [--client-threads 1]
//                                         [--silent N --lost-after S] [--server PATH]
//                                         [--quick]
//
// For each fleet size N, smallest first: a fresh store in a temporary
// folder with N instance keys and N * busy queued actions, the server
// started as a separate process on it (TLS on loopback), then N simulated
// agents in this process, each with one keep-alive TLS connection of its
// own, all driven by a few Asio threads. An agent polls assign_jobs every
// --poll seconds (+-10 %, the first poll at a random point of the first
// interval) and ships one 1-4 KiB log piece every --log-interval seconds
// for each action it holds; every request is signed with its own keys.
// Connections are opened at --ramp per second; after the last one, one
// poll interval passes (so every agent has polled once and the queue is
// handed out) before the measured window of --window seconds.
//
// Each row: requests per second, latency (request written to answer read,
// of the requests sent within the window), errors by kind, the server's
// CPU time per 1,000 requests and its share of a core, its threads and
// resident memory (from /proc/<pid>/stat, status and task), and this
// process's CPU share (the load generator's share of the machine). The
// smallest size is the reference: p99 and CPU per request of the others
// are printed relative to it. The run stops after the first size whose p99
// is above --max-p99 ms or that saw any error.
//
// Each agent takes one descriptor here and one in the server (which
// inherits this process's raised limit), so the largest size is the
// descriptor limit less a few hundred. --server: the tavoren-backend
// program (default: the one next to this program).
//
// --pg CONNINFO (or TAVOREN_BENCH_PG): the server's store is PostgreSQL
// instead of SQLite: a database of its own for each size, made on the
// server CONNINFO names (a postgresql:// URL; the password from PGPASSFILE
// or libpq's environment) and dropped after it.
//
// --silent N --lost-after S: the server finds a machine lost after S
// seconds without contact (unresponsive after half of it), and N agents
// (every k-th, so about --busy of them hold an action) fall silent when
// the window opens, as machines that die. The window is stretched to S
// plus two sweeps and 5 s when shorter, so that the server sweeps them
// (ending their actions and queueing them again) while the others poll.
// The row then also gives the polls' own p99 and the machines swept, read
// from the store after the run. Liveness is on in every run (the server's
// defaults: lost after 300 s); only --lost-after makes the sweep find work.
//
// --quick: sizes 100 and 300, 2 s and 4 s intervals, a 6 s window (a
// smoke run of well under a minute).

#include <libpq-fe.h>
#include <signal.h>
#include <sys/poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tavoren/common/logging.h"
#include "tavoren/common/process.h"
#include "tavoren/postgres_store.h"
#include "tavoren/protocol.h"
#include "tavoren/protocol_signing.h"
#include "tavoren/server.h"
#include "tavoren/sqlite_store.h"
#include "test_support.h"
#include "test_tls.h"

namespace tavoren {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
namespace wire = backend::wire;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

constexpr const char* kMasterKey =
    "b3e1c4a5d6f708192a3b4c5d6e7f8091a2b3c4d5e6f708192a3b4c5d6e7f8091";
std::shared_ptr<const sealing::Keyring> bench_keyring() {
  static const auto keyring =
      std::make_shared<const sealing::Keyring>(sealing::parse_master_key(kMasterKey));
  return keyring;
}
// How long one request may take before it counts as a transport error.
constexpr auto kRequestLimit = std::chrono::seconds(10);
// How long an agent waits before it reconnects after a transport error.
constexpr auto kReconnectDelay = std::chrono::seconds(1);

struct Config {
  std::vector<int> sizes{1000, 2500, 5000, 10000};
  double window_s = 40;
  double poll_s = 25;
  double log_interval_s = 10;
  double busy = 0.5;
  int ramp_per_s = 500;
  double max_p99_ms = 100;
  unsigned client_threads = 1;
  std::string server;
  // A PostgreSQL server for the stores; empty: SQLite.
  std::string pg;
  // Agents that fall silent when the window opens, and the server's time
  // to lost (0: its default).
  int silent = 0;
  double lost_after_s = 0;
};

[[noreturn]] void usage(const std::string& problem) {
  std::fprintf(stderr,
               "bench_backend_fleet: %s\n"
               "Usage: bench_backend_fleet [--sizes N,N,...] [--window S] [--poll S]\n"
               "                           [--log-interval S] [--busy SHARE] [--ramp PER_S]\n"
               "                           [--max-p99 MS] [--client-threads N] [--server PATH]\n"
               "                           [--silent N --lost-after S] [--pg CONNINFO] [--quick]\n",
               problem.c_str());
  std::exit(2);
}

double positive(const std::string& name, const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0' || !(value > 0)) usage(name + " takes a positive number");
  return value;
}

std::string program_folder() {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string(".") : self.parent_path().string();
}

Config parse_arguments(int argc, char** argv) {
  Config config;
  config.server = program_folder() + "/tavoren-backend";
  if (const char* pg = std::getenv("TAVOREN_BENCH_PG")) config.pg = pg;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--quick") {
      config.sizes = {100, 300};
      config.window_s = 6;
      config.poll_s = 4;
      config.log_interval_s = 2;
      config.ramp_per_s = 200;
    } else if (arg == "--sizes") {
      config.sizes.clear();
      std::stringstream list(value());
      for (std::string item; std::getline(list, item, ',');) {
        config.sizes.push_back(static_cast<int>(positive("--sizes", item)));
      }
      if (config.sizes.empty()) usage("--sizes needs at least one size");
    } else if (arg == "--window") {
      config.window_s = positive(arg, value());
    } else if (arg == "--poll") {
      config.poll_s = positive(arg, value());
    } else if (arg == "--log-interval") {
      config.log_interval_s = positive(arg, value());
    } else if (arg == "--busy") {
      config.busy = std::min(1.0, positive(arg, value()));
    } else if (arg == "--ramp") {
      config.ramp_per_s = static_cast<int>(positive(arg, value()));
    } else if (arg == "--max-p99") {
      config.max_p99_ms = positive(arg, value());
    } else if (arg == "--client-threads") {
      config.client_threads = static_cast<unsigned>(positive(arg, value()));
    } else if (arg == "--silent") {
      config.silent = static_cast<int>(positive(arg, value()));
    } else if (arg == "--lost-after") {
      config.lost_after_s = positive(arg, value());
    } else if (arg == "--pg") {
      config.pg = value();
    } else if (arg == "--server") {
      config.server = value();
    } else {
      usage("unknown argument " + arg);
    }
  }
  std::sort(config.sizes.begin(), config.sizes.end());
  if (config.silent > 0 && config.lost_after_s <= config.poll_s * 1.1) {
    usage("--silent needs a --lost-after longer than the poll interval");
  }
  if (config.silent > 0) {
    // Found lost, then swept (every tenth of the time to lost, 1 to 10 s).
    const double sweep = std::clamp(config.lost_after_s / 10, 1.0, 10.0);
    config.window_s = std::max(config.window_s, config.lost_after_s + 2 * sweep + 5);
  }
  return config;
}

// ---- /proc ---------------------------------------------------------------

struct ProcessSample {
  double cpu_s = 0;  // user + system
  int threads = 0;
  double rss_mib = 0;
  double peak_rss_mib = 0;
};

// "VmRSS:   1234 kB" and the like, in MiB; 0 when absent.
double status_mib(const std::string& status, const std::string& field) {
  const auto at = status.find(field + ":");
  if (at == std::string::npos) return 0;
  return std::strtod(status.c_str() + at + field.size() + 1, nullptr) / 1024.0;
}

ProcessSample sample_process(const std::string& pid) {
  ProcessSample sample;
  const std::string base = "/proc/" + pid;
  std::ifstream stat_file(base + "/stat");
  std::string stat((std::istreambuf_iterator<char>(stat_file)), std::istreambuf_iterator<char>());
  // The command name may hold spaces: fields are counted after its ')'.
  const auto close = stat.rfind(')');
  if (close != std::string::npos) {
    std::istringstream fields(stat.substr(close + 2));
    std::vector<std::string> field{std::istream_iterator<std::string>(fields),
                                   std::istream_iterator<std::string>()};
    // utime and stime are fields 14 and 15 of the line, 12 and 13 here.
    if (field.size() > 13) {
      const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
      sample.cpu_s =
          (std::strtod(field[11].c_str(), nullptr) + std::strtod(field[12].c_str(), nullptr)) /
          ticks;
    }
  }
  std::ifstream status_file(base + "/status");
  const std::string status((std::istreambuf_iterator<char>(status_file)),
                           std::istreambuf_iterator<char>());
  sample.rss_mib = status_mib(status, "VmRSS");
  sample.peak_rss_mib = status_mib(status, "VmHWM");
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator(base + "/task", error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    ++sample.threads;
  }
  return sample;
}

// ---- The fleet -----------------------------------------------------------

struct Counters {
  std::atomic<std::uint64_t> ok{0};
  std::atomic<std::uint64_t> refused{0};  // 200 with an error in the envelope
  std::atomic<std::uint64_t> status_429{0};
  std::atomic<std::uint64_t> status_503{0};
  std::atomic<std::uint64_t> other_status{0};
  std::atomic<std::uint64_t> transport{0};
  std::uint64_t errors() const {
    return refused + status_429 + status_503 + other_status + transport;
  }
};

class Agent;

// What every agent of one run shares.
struct Fleet {
  Fleet(const Config& config, tcp::endpoint server, const std::filesystem::path& ca_file)
      : config(config), server(server), tls(ssl::context::tls_client) {
    tls.set_verify_mode(ssl::verify_peer);
    tls.load_verify_file(ca_file.string());
    SSL_CTX_set_min_proto_version(tls.native_handle(), TLS1_2_VERSION);
    SSL_CTX_set_mode(tls.native_handle(), SSL_MODE_RELEASE_BUFFERS);
    piece.reserve(4096);
    for (int i = 0; i < 4096; ++i) piece.push_back(i % 64 == 63 ? '\n' : char('a' + i % 26));
  }

  // Whether a request sent at `sent` counts.
  bool measured(Clock::time_point sent) const {
    const auto at = sent.time_since_epoch().count();
    return at >= window_start.load() && at < window_end.load();
  }
  void record(Clock::time_point sent, std::chrono::microseconds latency, bool poll) {
    const auto us = static_cast<std::uint32_t>(
        std::min<std::int64_t>(latency.count(), std::numeric_limits<std::uint32_t>::max()));
    const auto slice = static_cast<std::size_t>(
        (sent.time_since_epoch().count() - window_start) /
        std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(kSliceSeconds)).count());
    std::lock_guard lock(mutex);
    latencies_us.push_back(us);
    if (!poll) return;
    poll_latencies_us.push_back(us);
    if (poll_slices_us.size() <= slice) poll_slices_us.resize(slice + 1);
    poll_slices_us[slice].push_back(us);
  }
  // The polls' latencies are also kept by slice of the window.
  static constexpr int kSliceSeconds = 5;

  const Config& config;
  const tcp::endpoint server;
  ssl::context tls;
  std::string piece;
  std::atomic<bool> stopping{false};
  std::atomic<int> connected{0};       // agents whose first handshake is done
  std::atomic<int> connect_failed{0};  // failed first connections
  std::atomic<Clock::rep> window_start{std::numeric_limits<Clock::rep>::max()};
  std::atomic<Clock::rep> window_end{std::numeric_limits<Clock::rep>::max()};
  Counters counters;
  std::mutex mutex;
  std::vector<std::uint32_t> latencies_us;                 // under mutex
  std::vector<std::uint32_t> poll_latencies_us;            // under mutex
  std::vector<std::vector<std::uint32_t>> poll_slices_us;  // under mutex
};

// One simulated agent: one connection, one request at a time. Every step
// runs on its strand.
class Agent : public std::enable_shared_from_this<Agent> {
 public:
  Agent(Fleet& fleet, asio::io_context& io, backend::Session keys, std::uint32_t seed)
      : fleet_(fleet),
        strand_(asio::make_strand(io)),
        timer_(strand_),
        keys_(std::move(keys)),
        random_(seed) {}

  void start() {
    asio::dispatch(strand_, [self = shared_from_this()] {
      self->next_poll_ = Clock::now() + self->interval(self->fleet_.config.poll_s, 0.0, 1.0);
      self->connect();
    });
  }
  void stop() {
    asio::post(strand_, [self = shared_from_this()] {
      self->timer_.cancel();
      if (self->stream_) beast::get_lowest_layer(*self->stream_).close();
    });
  }
  // Sends nothing more, as a machine that died: its request in flight, if
  // any, is cut off unanswered.
  void silence() {
    asio::post(strand_, [self = shared_from_this()] {
      self->silent_ = true;
      self->timer_.cancel();
      if (self->stream_) beast::get_lowest_layer(*self->stream_).close();
    });
  }

 private:
  using Stream = beast::ssl_stream<beast::tcp_stream>;
  struct Held {
    std::string id;
    Clock::time_point next_log;
  };

  // A random share [low, high) of `seconds`.
  Clock::duration interval(double seconds, double low, double high) {
    std::uniform_real_distribution<double> share(low, high);
    return std::chrono::duration_cast<Clock::duration>(Seconds(seconds * share(random_)));
  }

  void connect() {
    if (fleet_.stopping || silent_) return;
    stream_.emplace(strand_, fleet_.tls);
    stream_->set_verify_callback(ssl::host_name_verification("127.0.0.1"));
    buffer_.clear();
    auto& socket = beast::get_lowest_layer(*stream_);
    socket.expires_after(kRequestLimit);
    socket.async_connect(fleet_.server, [self = shared_from_this()](beast::error_code error) {
      if (error) return self->failed(true);
      beast::get_lowest_layer(*self->stream_).socket().set_option(tcp::no_delay(true), error);
      self->stream_->async_handshake(ssl::stream_base::client,
                                     [self](beast::error_code handshake_error) {
                                       if (handshake_error) return self->failed(true);
                                       if (!self->ever_connected_) {
                                         self->ever_connected_ = true;
                                         ++self->fleet_.connected;
                                       }
                                       self->schedule();
                                     });
    });
  }

  void failed(bool connecting) {
    if (fleet_.stopping || silent_) return;
    if (connecting && !ever_connected_) ++fleet_.connect_failed;
    if (fleet_.measured(sent_) || (connecting && fleet_.measured(Clock::now()))) {
      ++fleet_.counters.transport;
    }
    if (stream_) beast::get_lowest_layer(*stream_).close();
    stream_.reset();
    timer_.expires_after(kReconnectDelay);
    timer_.async_wait([self = shared_from_this()](beast::error_code error) {
      if (!error) self->connect();
    });
  }

  // Waits for the next request that is due.
  void schedule() {
    if (fleet_.stopping || silent_) return;
    Clock::time_point due = next_poll_;
    for (const Held& held : held_) due = std::min(due, held.next_log);
    timer_.expires_at(due);
    timer_.async_wait([self = shared_from_this()](beast::error_code error) {
      if (!error) self->send_due();
    });
  }

  void send_due() {
    if (fleet_.stopping || silent_) return;
    const auto now = Clock::now();
    auto earliest = std::min_element(held_.begin(), held_.end(), [](const Held& a, const Held& b) {
      return a.next_log < b.next_log;
    });
    if (earliest != held_.end() && earliest->next_log <= now && earliest->next_log < next_poll_) {
      earliest->next_log = now + interval(fleet_.config.log_interval_s, 0.9, 1.1);
      std::uniform_int_distribution<std::size_t> size(1024, 4096);
      Json arguments = Json::object();
      arguments["action_record_id"] = earliest->id;
      arguments["log_content"] = fleet_.piece.substr(0, size(random_));
      polling_ = false;
      send("update_action_docker_logs", wire::write_arguments(arguments));
    } else {
      next_poll_ = now + interval(fleet_.config.poll_s, 0.9, 1.1);
      Json arguments = Json::object();
      arguments["has_gpu"] = false;
      polling_ = true;
      send("assign_jobs", wire::write_arguments(arguments));
    }
  }

  void send(std::string_view operation, std::string body) {
    const std::string path = wire::path_of(operation);
    const std::string idempotency_key = wire::new_idempotency_key();
    request_ = {};
    request_.method(http::verb::post);
    request_.target(path);
    request_.version(11);
    request_.set(http::field::host, "127.0.0.1");
    request_.set(http::field::content_type, "application/json");
    for (const wire::HeaderField& field : wire::sign_request(
             wire::OutgoingRequest{.path = path, .body = body, .idempotency_key = idempotency_key},
             keys_)) {
      request_.set(field.name, field.value);
    }
    request_.body() = std::move(body);
    request_.keep_alive(true);
    request_.prepare_payload();
    sent_ = Clock::now();
    beast::get_lowest_layer(*stream_).expires_after(kRequestLimit);
    http::async_write(*stream_, request_,
                      [self = shared_from_this()](beast::error_code error, std::size_t) {
                        if (error) return self->failed(false);
                        self->answer_.emplace();
                        self->answer_->body_limit(16 * 1024 * 1024);
                        http::async_read(*self->stream_, self->buffer_, *self->answer_,
                                         [self](beast::error_code read_error, std::size_t) {
                                           if (read_error) return self->failed(false);
                                           self->on_answer();
                                         });
                      });
  }

  void on_answer() {
    const auto done = Clock::now();
    const bool measured = fleet_.measured(sent_);
    auto& answer = answer_->get();
    Counters& counters = fleet_.counters;
    const unsigned status = answer.result_int();
    if (status == 200) {
      backend::Result result;
      bool readable = true;
      try {
        result = wire::read_answer(answer.body());
      } catch (const std::exception&) {
        readable = false;
      }
      if (!readable || result.has_error()) {
        if (measured) ++counters.refused;
      } else {
        if (measured) ++counters.ok;
        if (polling_ && result.data.is_array()) {
          for (const Json& record : result.data) {
            if (!record.is_object() || !record.contains("_id")) continue;
            held_.push_back(Held{record["_id"].get<std::string>(),
                                 done + interval(fleet_.config.log_interval_s, 0.0, 1.0)});
          }
        }
      }
    } else if (measured) {
      if (status == 429) {
        ++counters.status_429;
      } else if (status == 503) {
        ++counters.status_503;
      } else {
        ++counters.other_status;
      }
    }
    if (measured) {
      fleet_.record(sent_, std::chrono::duration_cast<std::chrono::microseconds>(done - sent_),
                    polling_);
    }
    const bool keep = answer.keep_alive();
    answer_.reset();
    if (!keep) {
      beast::get_lowest_layer(*stream_).close();
      stream_.reset();
      timer_.expires_after(kReconnectDelay);
      timer_.async_wait([self = shared_from_this()](beast::error_code error) {
        if (!error) self->connect();
      });
      return;
    }
    schedule();
  }

  Fleet& fleet_;
  asio::strand<asio::io_context::executor_type> strand_;
  asio::steady_timer timer_;
  const backend::Session keys_;
  std::mt19937 random_;
  std::optional<Stream> stream_;
  beast::flat_buffer buffer_;
  http::request<http::string_body> request_;
  std::optional<http::response_parser<http::string_body>> answer_;
  std::vector<Held> held_;
  Clock::time_point next_poll_;
  Clock::time_point sent_{};
  bool polling_ = false;
  bool ever_connected_ = false;
  bool silent_ = false;
};

// ---- One fleet size --------------------------------------------------------

struct Row {
  int agents = 0;
  int connected = 0;
  double ramp_s = 0;
  double window_s = 0;
  std::uint64_t requests = 0;
  double p50_ms = 0, p99_ms = 0, max_ms = 0;
  double poll_p99_ms = 0;
  // The polls' p99 in each slice of the window (Fleet::kSliceSeconds).
  std::vector<double> poll_slice_p99_ms;
  // Agents silenced, and the machines the server found lost (swept).
  int silenced = 0;
  std::int64_t swept = 0;
  std::uint64_t ok = 0, refused = 0, s429 = 0, s503 = 0, other = 0, transport = 0;
  double server_cpu_s = 0;
  double bench_cpu_s = 0;
  ProcessSample server;
  std::uint64_t errors() const { return refused + s429 + s503 + other + transport; }
  double per_second() const { return static_cast<double>(requests) / window_s; }
  double cpu_ms_per_request() const {
    return requests == 0 ? 0 : server_cpu_s * 1000.0 / static_cast<double>(requests);
  }
};

double percentile(std::vector<std::uint32_t>& sorted, double share) {
  if (sorted.empty()) return 0;
  const auto at = static_cast<std::size_t>(std::ceil(share * static_cast<double>(sorted.size())));
  return sorted[std::min(sorted.size() - 1, at == 0 ? 0 : at - 1)] / 1000.0;
}

// A database of its own on a PostgreSQL server, dropped with this object.
class PgDatabase {
 public:
  PgDatabase(const std::string& conninfo, int agents)
      : conninfo_(conninfo),
        name_("tavoren_fleet_bench_" + std::to_string(::getpid()) + "_" + std::to_string(agents)) {
    const std::size_t scheme = conninfo.find("://");
    if (scheme == std::string::npos) throw std::runtime_error("--pg takes a postgresql:// URL");
    const std::size_t path = conninfo.find_first_of("/?", scheme + 3);
    const std::size_t query = conninfo.find('?', scheme + 3);
    url_ = conninfo.substr(0, path) + "/" + name_ +
           (query == std::string::npos ? "" : conninfo.substr(query));
    run("CREATE DATABASE " + name_);
  }
  ~PgDatabase() {
    try {
      run("DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
    } catch (const std::exception& e) {
      std::fprintf(stderr, "bench_backend_fleet: %s\n", e.what());
    }
  }
  PgDatabase(const PgDatabase&) = delete;
  PgDatabase& operator=(const PgDatabase&) = delete;
  const std::string& url() const { return url_; }

 private:
  // One statement on the server's maintenance connection (time-limited).
  void run(const std::string& sql) const {
    const char* keywords[] = {"dbname", "connect_timeout", "options", nullptr};
    const char* values[] = {conninfo_.c_str(), "5", "-c statement_timeout=30000", nullptr};
    PGconn* connection = PQconnectdbParams(keywords, values, 1);
    std::string failure;
    if (PQstatus(connection) != CONNECTION_OK) {
      failure = "cannot reach the PostgreSQL server of --pg";
    } else {
      PGresult* result = PQexec(connection, sql.c_str());
      if (PQresultStatus(result) != PGRES_COMMAND_OK) failure = PQerrorMessage(connection);
      PQclear(result);
    }
    PQfinish(connection);
    if (!failure.empty()) throw std::runtime_error(sql + ": " + failure);
  }

  std::string conninfo_;
  std::string name_;
  std::string url_;
};

// The store of `store_text` ("sqlite:PATH" or a PostgreSQL URL), made or
// migrated when new.
std::unique_ptr<backend::Store> open_store(const std::string& store_text) {
  if (store_text.starts_with("sqlite:")) {
    backend::LocalBackendOptions options;
    options.database = store_text.substr(std::string_view("sqlite:").size());
    options.keyring = bench_keyring();
    return std::make_unique<backend::LocalScaling>(options);
  }
  backend::PgBackendOptions options;
  options.conninfo = store_text;
  options.keyring = bench_keyring();
  backend::PgScaling::migrate(options);
  return std::make_unique<backend::PgScaling>(options);
}

// The machines of the store the server found lost.
std::int64_t machines_swept(const std::string& store_text) {
  std::int64_t swept = 0;
  for (const Json& machine : open_store(store_text)->machines()) {
    if (!machine.value("lostAt", Json()).is_null()) ++swept;
  }
  return swept;
}

// A fresh store with `agents` instance keys and the queued actions.
std::vector<backend::Session> prepare_store(const std::string& store_text, int agents,
                                            int actions) {
  const std::unique_ptr<backend::Store> opened = open_store(store_text);
  backend::Store& store = *opened;
  server::require_master_sealed(store, store_text);
  server::AccessKeys keys(store, bench_keyring());
  std::vector<backend::Session> sessions;
  sessions.reserve(static_cast<std::size_t>(agents));
  char instance[32];
  for (int i = 0; i < agents; ++i) {
    std::snprintf(instance, sizeof instance, "fleet-agent-%05d", i);
    const server::NewAccessKey key = keys.create(wire::Role::kInstance, instance);
    sessions.push_back(backend::Session{key.access_key, key.secret_key});
  }
  const Json record = {{"action", "data_split"},
                       {"actionDetails", {{"docker", "registry.example/jobs:1"}}},
                       {"_idUser", "owner-a"}};
  for (int i = 0; i < actions; ++i) store.submit(record);
  return sessions;
}

// The server, started on the store; its port once it listens.
struct Server {
  Server(const Config& config, const std::string& store_text, const testing::TestTls& tls,
         const std::filesystem::path& log)
      : child(process::Child::spawn(process::SpawnRequest{
            .argv = arguments(config, store_text, tls, log.parent_path()),
            .stdin_stream = process::Stream::null,
            .stdout_stream = process::Stream::pipe,
            .stderr_stream = process::Stream::file,
            .output_path = log.string(),
            .environment = process::environment_with({"TAVOREN_ENCRYPTION_KEY="})})) {
    std::string out;
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (out.find('\n') == std::string::npos && Clock::now() < deadline) {
      pollfd ready{child.stdout_fd(), POLLIN, 0};
      if (::poll(&ready, 1, 200) <= 0) continue;
      char chunk[256];
      const ssize_t got = ::read(child.stdout_fd(), chunk, sizeof chunk);
      if (got <= 0) break;
      out.append(chunk, static_cast<std::size_t>(got));
    }
    const std::string prefix = "listening on 127.0.0.1:";
    if (!out.starts_with(prefix)) {
      throw std::runtime_error("the server did not start; see " + log.string());
    }
    port = static_cast<std::uint16_t>(std::stoi(out.substr(prefix.size())));
  }
  ~Server() { stop(); }
  static std::vector<std::string> arguments(const Config& config, const std::string& store_text,
                                            const testing::TestTls& tls,
                                            const std::filesystem::path& dir) {
    const std::string master_key_file = (dir / "master.key").string();
    std::ofstream(master_key_file) << kMasterKey << "\n";
    std::vector<std::string> argv = {config.server,       "serve",
                                     "--store",           store_text,
                                     "--listen",          "127.0.0.1:0",
                                     "--tls-cert",        tls.server_chain_file().string(),
                                     "--tls-key",         tls.server_key_file().string(),
                                     "--log-level",       "warning",
                                     "--master-key-file", master_key_file};
    if (config.lost_after_s > 0) {
      const auto lost = static_cast<long>(std::lround(config.lost_after_s));
      argv.insert(argv.end(), {"--lost-after", std::to_string(lost), "--unresponsive-after",
                               std::to_string(std::max(1L, lost / 2))});
    }
    return argv;
  }
  void stop() {
    if (child.exit_status()) return;
    child.send_signal(SIGTERM);
    if (!child.wait_for(std::chrono::seconds(20))) child.send_signal(SIGKILL);
    child.wait();
  }
  std::string pid() const { return std::to_string(child.pid()); }

  process::Child child;
  std::uint16_t port = 0;
};

void sleep_for(double seconds) { std::this_thread::sleep_for(Seconds(seconds)); }

Row run_size(const Config& config, int agents, const testing::TestTls& tls) {
  testing::TempDir dir;
  std::optional<PgDatabase> pg;
  if (!config.pg.empty()) pg.emplace(config.pg, agents);
  const std::string store_text = pg ? pg->url() : "sqlite:" + (dir.path() / "fleet.db").string();
  const int actions = static_cast<int>(std::lround(config.busy * agents));
  const auto prepare_start = Clock::now();
  std::vector<backend::Session> sessions = prepare_store(store_text, agents, actions);
  std::printf("  %d agents: store with %d keys and %d queued actions made in %.1f s\n", agents,
              agents, actions, Seconds(Clock::now() - prepare_start).count());
  std::fflush(stdout);

  Server server(config, store_text, tls, dir.path() / "server.log");
  Fleet fleet(config, tcp::endpoint(asio::ip::make_address("127.0.0.1"), server.port),
              tls.ca_file());
  asio::io_context io;
  auto work = asio::make_work_guard(io);
  std::vector<std::thread> threads;
  for (unsigned i = 0; i < config.client_threads; ++i) threads.emplace_back([&io] { io.run(); });

  std::vector<std::shared_ptr<Agent>> fleet_agents;
  fleet_agents.reserve(sessions.size());
  for (std::size_t i = 0; i < sessions.size(); ++i) {
    fleet_agents.push_back(std::make_shared<Agent>(fleet, io, std::move(sessions[i]),
                                                   static_cast<std::uint32_t>(i * 7919 + 17)));
  }

  // Ramp up: connections at config.ramp_per_s, in 10 ms steps.
  const auto ramp_start = Clock::now();
  for (std::size_t started = 0; started < fleet_agents.size();) {
    const double elapsed = Seconds(Clock::now() - ramp_start).count();
    const auto due =
        std::min(fleet_agents.size(), static_cast<std::size_t>(elapsed * config.ramp_per_s) + 1);
    for (; started < due; ++started) fleet_agents[started]->start();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const auto ramp_limit = Clock::now() + std::chrono::seconds(60);
  while (fleet.connected + fleet.connect_failed < agents && Clock::now() < ramp_limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  Row row;
  row.agents = agents;
  row.connected = fleet.connected;
  row.ramp_s = Seconds(Clock::now() - ramp_start).count();
  std::printf("  %d agents: %d connected in %.1f s; warming up for %.0f s\n", agents, row.connected,
              row.ramp_s, config.poll_s + 1);
  std::fflush(stdout);
  sleep_for(config.poll_s + 1);

  const std::string self = std::to_string(::getpid());
  const ProcessSample server_before = sample_process(server.pid());
  const ProcessSample bench_before = sample_process(self);
  const auto window_start = Clock::now();
  fleet.window_end =
      (window_start + std::chrono::duration_cast<Clock::duration>(Seconds(config.window_s)))
          .time_since_epoch()
          .count();
  fleet.window_start = window_start.time_since_epoch().count();
  if (config.silent > 0) {
    const std::size_t every =
        std::max<std::size_t>(1, fleet_agents.size() / static_cast<std::size_t>(config.silent));
    for (std::size_t i = 0; i < fleet_agents.size() && row.silenced < config.silent; i += every) {
      fleet_agents[i]->silence();
      ++row.silenced;
    }
  }
  sleep_for(config.window_s);
  const auto window_end = Clock::now();
  const ProcessSample server_after = sample_process(server.pid());
  const ProcessSample bench_after = sample_process(self);
  row.window_s = Seconds(window_end - window_start).count();
  // Requests sent within the window and still open are waited for.
  sleep_for(std::min(2.0, config.window_s / 4));

  server.stop();
  fleet.stopping = true;
  for (auto& agent : fleet_agents) agent->stop();
  work.reset();
  for (auto& thread : threads) thread.join();
  fleet_agents.clear();

  row.server_cpu_s = server_after.cpu_s - server_before.cpu_s;
  row.bench_cpu_s = bench_after.cpu_s - bench_before.cpu_s;
  row.server = server_after;
  const Counters& c = fleet.counters;
  row.ok = c.ok;
  row.refused = c.refused;
  row.s429 = c.status_429;
  row.s503 = c.status_503;
  row.other = c.other_status;
  row.transport = c.transport;
  row.requests = row.ok + row.refused + row.s429 + row.s503 + row.other;
  std::vector<std::uint32_t> latencies = std::move(fleet.latencies_us);
  std::sort(latencies.begin(), latencies.end());
  row.p50_ms = percentile(latencies, 0.50);
  row.p99_ms = percentile(latencies, 0.99);
  row.max_ms = latencies.empty() ? 0 : latencies.back() / 1000.0;
  std::vector<std::uint32_t> polls = std::move(fleet.poll_latencies_us);
  std::sort(polls.begin(), polls.end());
  row.poll_p99_ms = percentile(polls, 0.99);
  for (std::vector<std::uint32_t>& slice : fleet.poll_slices_us) {
    std::sort(slice.begin(), slice.end());
    row.poll_slice_p99_ms.push_back(percentile(slice, 0.99));
  }
  if (config.silent > 0) row.swept = machines_swept(store_text);
  return row;
}

void print_header() {
  std::printf("\n%7s %8s %7s %7s %8s %8s %22s %9s %7s %7s %8s %8s %7s %8s %8s\n", "agents", "req/s",
              "p50ms", "p99ms", "pollp99", "maxms", "err refused/429/503/oth/tr", "srvCPU/1k",
              "srvCPU%", "threads", "RSS MiB", "peakMiB", "bench%", "p99xref", "cpu/rq x");
}

void print_row(const Row& row, const Row& reference) {
  char errors[64];
  std::snprintf(errors, sizeof errors, "%" PRIu64 "/%" PRIu64 "/%" PRIu64 "/%" PRIu64 "/%" PRIu64,
                row.refused, row.s429, row.s503, row.other, row.transport);
  const double p99_ratio = reference.p99_ms > 0 ? row.p99_ms / reference.p99_ms : 0;
  const double cpu_ratio = reference.cpu_ms_per_request() > 0
                               ? row.cpu_ms_per_request() / reference.cpu_ms_per_request()
                               : 0;
  std::printf(
      "%7d %8.1f %7.2f %7.2f %8.2f %8.1f %22s %8.2fs %6.1f%% %7d %8.1f %8.1f %6.1f%% %8.2f "
      "%8.2f\n",
      row.agents, row.per_second(), row.p50_ms, row.p99_ms, row.poll_p99_ms, row.max_ms, errors,
      row.cpu_ms_per_request(), 100.0 * row.server_cpu_s / row.window_s, row.server.threads,
      row.server.rss_mib, row.server.peak_rss_mib, 100.0 * row.bench_cpu_s / row.window_s,
      p99_ratio, cpu_ratio);
  std::fflush(stdout);
}

// Room for one descriptor per agent (and some to spare) in this process;
// the server inherits the same limit.
void raise_descriptor_limit(int agents) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < static_cast<rlim_t>(agents) + 256) {
    std::fprintf(stderr,
                 "bench_backend_fleet: %d agents need about %d descriptors; the limit is %ld\n",
                 agents, agents + 256, static_cast<long>(limit.rlim_cur));
    std::exit(1);
  }
}

}  // namespace
}  // namespace tavoren

int main(int argc, char** argv) {
  using namespace tavoren;
  const Config config = parse_arguments(argc, argv);
  log::set_level(log::Level::warning);
  raise_descriptor_limit(config.sizes.back());
  ::signal(SIGPIPE, SIG_IGN);

  std::printf(
      "Fleet of simulated agents against one tavoren-backend serve (TLS on loopback, %s)\n"
      "poll every %.0f s, one 1-4 KiB log piece every %.0f s per held action, %.0f %% of the\n"
      "agents get an action; ramp %d connections/s, %u generator thread(s), window %.0f s,\n"
      "p99 bound %.0f ms; %u CPUs\n",
      config.pg.empty() ? "SQLite" : "PostgreSQL", config.poll_s, config.log_interval_s,
      config.busy * 100, config.ramp_per_s, config.client_threads, config.window_s,
      config.max_p99_ms, std::thread::hardware_concurrency());
  std::fflush(stdout);

  const testing::TestTls tls;
  std::vector<Row> rows;
  int largest_within = 0;
  for (const int agents : config.sizes) {
    Row row;
    try {
      row = run_size(config, agents, tls);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "bench_backend_fleet: %d agents: %s\n", agents, e.what());
      break;
    }
    rows.push_back(row);
    print_header();
    for (const Row& done : rows) print_row(done, rows.front());
    for (const Row& done : rows) {
      if (done.silenced > 0) {
        std::printf("%7d agents: %d fell silent in the window, %" PRId64
                    " machines found lost and swept; the polls' p99 (ms) by %d s of the "
                    "window:",
                    done.agents, done.silenced, done.swept, Fleet::kSliceSeconds);
        for (const double p99 : done.poll_slice_p99_ms) std::printf(" %.0f", p99);
        std::printf("\n");
      }
    }
    std::printf("\n");
    const bool within = row.connected == agents && row.errors() == 0 &&
                        row.p99_ms <= config.max_p99_ms && row.requests > 0;
    if (!within) {
      std::printf("%d agents: beyond the bound (%d of %d connected, %" PRIu64
                  " errors, p99 %.1f ms); stopping\n",
                  agents, row.connected, agents, row.errors(), row.p99_ms);
      break;
    }
    largest_within = agents;
  }
  std::printf("Largest fleet within p99 <= %.0f ms and no errors: %d agents\n", config.max_p99_ms,
              largest_within);
  return 0;
}
