// libpq connections, statements, results and the pool.

#include "pg.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <utility>

#include "tavoren/common/errors.h"

namespace tavoren::backend::pg {

namespace {

// The server's primary message of a failed result, or the connection's.
std::string failure_text(PGconn* connection, const PGresult* result) {
  const char* primary = result ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  std::string text = primary ? primary : (connection ? PQerrorMessage(connection) : "");
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text.empty() ? "no message" : text;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Prepared statements kept per connection at most (statements built with
// a varying text, as the import's, would otherwise pile up).
constexpr std::size_t kMaxPrepared = 256;

// Whether a statement is of a kind worth preparing.
bool preparable(std::string_view sql) {
  for (std::string_view verb : {"SELECT ", "INSERT ", "UPDATE ", "DELETE ", "WITH "}) {
    if (sql.starts_with(verb)) return true;
  }
  return false;
}

bool succeeded(const PGresult* result) {
  const ExecStatusType status = PQresultStatus(result);
  return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

std::string milliseconds_text(std::chrono::milliseconds value) {
  return std::to_string(std::max<std::int64_t>(value.count(), 1)) + "ms";
}

}  // namespace

namespace {

// Refuses a text that PostgreSQL cannot hold, before anything is sent.
void check_params(const Params& params) {
  for (const Params::Value& value : params.values()) {
    if (value.kind == Params::Kind::text && value.text.find('\0') != std::string::npos) {
      throw ValueError("A text holding a NUL byte cannot be stored");
    }
  }
}

}  // namespace

Rows::~Rows() {
  if (result_ != nullptr) PQclear(result_);
}

int Rows::size() const { return PQntuples(result_); }

bool Rows::is_null(int row, int column) const { return PQgetisnull(result_, row, column) != 0; }

std::string Rows::text(int row, int column) const {
  return std::string(PQgetvalue(result_, row, column),
                     static_cast<std::size_t>(PQgetlength(result_, row, column)));
}

int Rows::columns() const { return result_ == nullptr ? 0 : PQnfields(result_); }

std::int64_t Rows::integer(int row, int column) const {
  return std::strtoll(PQgetvalue(result_, row, column), nullptr, 10);
}

bool Rows::boolean(int row, int column) const { return PQgetvalue(result_, row, column)[0] == 't'; }

std::string Rows::bytes(int row, int column) const {
  const char* value = PQgetvalue(result_, row, column);
  const std::size_t length = static_cast<std::size_t>(PQgetlength(result_, row, column));
  if (length < 2 || value[0] != '\\' || value[1] != 'x' || length % 2 != 0) {
    throw DatabaseError("The database answered bytes in a form this program does not read");
  }
  std::string decoded;
  decoded.reserve((length - 2) / 2);
  for (std::size_t i = 2; i < length; i += 2) {
    const int high = hex_value(value[i]);
    const int low = hex_value(value[i + 1]);
    if (high < 0 || low < 0) {
      throw DatabaseError("The database answered bytes in a form this program does not read");
    }
    decoded.push_back(static_cast<char>(high * 16 + low));
  }
  return decoded;
}

std::int64_t Rows::affected() const {
  const char* count = PQcmdTuples(result_);
  return count[0] == '\0' ? 0 : std::strtoll(count, nullptr, 10);
}

void check_conninfo(const std::string& conninfo) {
  char* error = nullptr;
  PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), &error);
  if (options == nullptr) {
    // libpq's message may quote the string; it is not passed on.
    if (error != nullptr) PQfreemem(error);
    throw ValueError("The PostgreSQL connection string does not parse");
  }
  bool has_password = false;
  for (PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
    if (std::string_view(option->keyword) == "password" && option->val != nullptr &&
        option->val[0] != '\0') {
      has_password = true;
    }
  }
  PQconninfoFree(options);
  if (has_password) {
    throw ValueError(
        "The PostgreSQL connection string carries a password: give it in a password file "
        "(PGPASSFILE, ~/.pgpass) or libpq's environment instead");
  }
}

bool is_plain_identifier(std::string_view name) {
  if (name.empty() || name.size() > 63) return false;
  if (name.front() >= '0' && name.front() <= '9') return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
  });
}

Connection::Connection(const ConnectionSettings& settings) {
  check_conninfo(settings.conninfo);
  const std::int64_t connect_seconds =
      std::max<std::int64_t>(2, (settings.connect_timeout.count() + 999) / 1000);
  std::string options = "-c statement_timeout=" + milliseconds_text(settings.statement_timeout) +
                        " -c lock_timeout=" + milliseconds_text(settings.statement_timeout) +
                        " -c idle_in_transaction_session_timeout=" +
                        milliseconds_text(settings.statement_timeout * 4);
  if (!settings.schema.empty()) {
    if (!is_plain_identifier(settings.schema)) {
      throw ValueError("The schema name \"" + settings.schema +
                       "\" is not a plain identifier (a-z, 0-9, _)");
    }
    options += " -c search_path=" + settings.schema;
  }
  const std::string timeout = std::to_string(connect_seconds);
  // A dead peer is noticed within the statement time limit even when no
  // answer ever comes (tcp_user_timeout), not only by the server.
  const std::string user_timeout =
      std::to_string(std::max<std::int64_t>(settings.statement_timeout.count() * 2, 1000));
  const char* keywords[] = {"dbname",
                            "connect_timeout",
                            "options",
                            "keepalives",
                            "keepalives_idle",
                            "keepalives_interval",
                            "keepalives_count",
                            "tcp_user_timeout",
                            "client_encoding",
                            "application_name",
                            nullptr};
  const char* values[] = {
      settings.conninfo.c_str(), timeout.c_str(), options.c_str(),   "1",    "10", "5", "3",
      user_timeout.c_str(),      "UTF8",          "tavoren-backend", nullptr};
  connection_ = PQconnectdbParams(keywords, values, 1);
  if (connection_ == nullptr) throw DatabaseError("Cannot connect to PostgreSQL: out of memory");
  if (PQstatus(connection_) != CONNECTION_OK) {
    const std::string text = failure_text(connection_, nullptr);
    PQfinish(connection_);
    connection_ = nullptr;
    throw Failure("Cannot connect to PostgreSQL: " + text, "");
  }
  // The server's notices (a schema that exists already) are not errors.
  PQsetNoticeProcessor(
      connection_, [](void*, const char*) {}, nullptr);
}

Connection::~Connection() {
  if (connection_ != nullptr) PQfinish(connection_);
}

Rows Connection::exec(const char* sql, const Params& params) {
  check_params(params);
  return run_pipeline(sql, params);
}

std::uint64_t Connection::defer(std::string sql, Params params) {
  check_params(params);
  deferred_.push_back(Statement{std::move(sql), std::move(params)});
  return sent_ + deferred_.size() - 1;
}

std::uint64_t Connection::defer_watched(std::string sql, Params params) {
  if (watch_queued() || watched_) throw std::logic_error("One statement is watched at a time");
  watched_place_ = defer(std::move(sql), std::move(params));
  deferred_.back().watched = true;
  return watched_place_;
}

bool Connection::watch_queued() const {
  return std::any_of(deferred_.begin(), deferred_.end(),
                     [](const Statement& statement) { return statement.watched; });
}

std::optional<Rows> Connection::take_watched() {
  std::optional<Rows> taken;
  if (watched_) taken.emplace(std::move(*watched_));
  watched_.reset();
  return taken;
}

bool Connection::drop_deferred_from(std::uint64_t from) {
  if (from < sent_) {
    deferred_.clear();
    return false;
  }
  const std::uint64_t keep = std::min<std::uint64_t>(from - sent_, deferred_.size());
  deferred_.resize(static_cast<std::size_t>(keep));
  return true;
}

Failure Connection::give_up(const PGresult* result) {
  unusable_ = true;
  const std::string text = failure_text(connection_, result);
  deferred_.clear();
  return Failure("PostgreSQL refused a statement: " + text, "");
}

void Connection::send_statement(const char* text, const Params& parameters,
                                std::vector<std::string>& answers) {
  const std::size_t count = parameters.values().size();
  std::vector<const char*> values(count);
  std::vector<int> lengths(count);
  std::vector<int> formats(count);
  // Numbers and flags travel as text.
  std::vector<std::string> numbers(count);
  for (std::size_t i = 0; i < count; ++i) {
    const Params::Value& value = parameters.values()[i];
    const std::string* bytes = &value.text;
    switch (value.kind) {
      case Params::Kind::null:
        break;
      case Params::Kind::integer:
        numbers[i] = std::to_string(value.integer);
        bytes = &numbers[i];
        break;
      case Params::Kind::boolean:
        numbers[i] = value.integer != 0 ? "true" : "false";
        bytes = &numbers[i];
        break;
      case Params::Kind::text:
      case Params::Kind::bytes:
        break;
    }
    values[i] = value.kind == Params::Kind::null ? nullptr : bytes->data();
    lengths[i] = static_cast<int>(bytes->size());
    formats[i] = value.kind == Params::Kind::bytes ? 1 : 0;
  }
  const Prepared* prepared = nullptr;
  if (preparable(text)) {
    auto found = prepared_.find(text);
    if (found == prepared_.end() && prepared_.size() < kMaxPrepared) {
      found = prepared_.emplace(text, Prepared{"tavoren_" + std::to_string(++names_)}).first;
      // Prepared in the same round trip, just ahead of its first use.
      if (PQsendPrepare(connection_, found->second.name.c_str(), text, static_cast<int>(count),
                        nullptr) != 1) {
        prepared_.erase(found);
        throw give_up(nullptr);
      }
      answers.push_back(text);
    }
    if (found != prepared_.end()) prepared = &found->second;
  }
  const int sent =
      prepared != nullptr
          ? PQsendQueryPrepared(connection_, prepared->name.c_str(), static_cast<int>(count),
                                values.data(), lengths.data(), formats.data(), 0)
          : PQsendQueryParams(connection_, text, static_cast<int>(count), nullptr, values.data(),
                              lengths.data(), formats.data(), 0);
  if (sent != 1) throw give_up(nullptr);
  answers.emplace_back();
}

Rows Connection::read_answers(const std::vector<std::string>& answers,
                              std::optional<std::size_t> watched_answer) {
  PGresult* last = nullptr;
  std::string failure;
  std::string state;
  std::string table;
  bool failed = false;
  for (std::size_t i = 0; i < answers.size(); ++i) {
    PGresult* result = PQgetResult(connection_);
    if (result == nullptr || PQstatus(connection_) != CONNECTION_OK) {
      Failure error = give_up(result);
      if (result != nullptr) PQclear(result);
      if (last != nullptr) PQclear(last);
      throw error;
    }
    const bool ok = succeeded(result);
    if (!ok && !failed) {
      // The statements after a failed one come back aborted, unrun.
      failed = true;
      const char* state_field = PQresultErrorField(result, PG_DIAG_SQLSTATE);
      state = state_field ? state_field : "";
      const char* table_field = PQresultErrorField(result, PG_DIAG_TABLE_NAME);
      table = table_field ? table_field : "";
      failure = failure_text(connection_, result);
    }
    // A preparation the server did not make is not kept.
    if (!answers[i].empty() && !ok) prepared_.erase(answers[i]);
    if (i + 1 == answers.size()) {
      last = result;
    } else if (ok && watched_answer == i) {
      watched_.emplace(result);
    } else {
      PQclear(result);
    }
    // Each statement's answers end with a null result.
    if (PGresult* extra = PQgetResult(connection_); extra != nullptr) {
      PQclear(extra);
      if (last != nullptr) PQclear(last);
      throw give_up(nullptr);
    }
  }
  deferred_.clear();
  PGresult* sync = PQgetResult(connection_);
  const bool synced = sync != nullptr && PQresultStatus(sync) == PGRES_PIPELINE_SYNC;
  if (sync != nullptr) PQclear(sync);
  if (!synced || PQexitPipelineMode(connection_) != 1) {
    if (last != nullptr) PQclear(last);
    throw give_up(nullptr);
  }
  if (failed) {
    if (last != nullptr) PQclear(last);
    throw Failure("PostgreSQL refused a statement: " + failure, std::move(state), std::move(table));
  }
  return Rows(last);
}

Rows Connection::run_pipeline(const char* sql, const Params& params) {
  if (unusable_) throw Failure("PostgreSQL refused a statement: the connection was given up", "");
  // What each answer read back belongs to: a statement's preparation (the
  // text it was kept under) or the statement itself (empty).
  std::vector<std::string> answers;
  std::optional<std::size_t> watched_answer;
  if (PQenterPipelineMode(connection_) != 1) throw give_up(nullptr);
  for (const Statement& statement : deferred_) {
    send_statement(statement.sql.c_str(), statement.params, answers);
    if (statement.watched) watched_answer = answers.size() - 1;
  }
  send_statement(sql, params, answers);
  if (PQpipelineSync(connection_) != 1) throw give_up(nullptr);
  ++round_trips_;
  sent_ += deferred_.size() + 1;
  return read_answers(answers, watched_answer);
}

void Connection::exec_script(const char* sql) {
  if (!deferred_.empty()) throw std::logic_error("A script cannot follow deferred statements");
  ++round_trips_;
  PGresult* result = PQexec(connection_, sql);
  const ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
  if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) {
    PQclear(result);
    return;
  }
  // Both are copied out of the result before it is freed.
  const char* state_field = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  std::string state = state_field ? state_field : "";
  std::string text = failure_text(connection_, result);
  if (result != nullptr) PQclear(result);
  throw Failure("PostgreSQL refused a statement: " + text, std::move(state));
}

bool Connection::broken() const { return unusable_ || PQstatus(connection_) != CONNECTION_OK; }

bool Connection::in_transaction() const {
  return !deferred_.empty() || PQtransactionStatus(connection_) != PQTRANS_IDLE;
}

}  // namespace tavoren::backend::pg

namespace tavoren::backend::pg {

Pool::Pool(ConnectionSettings settings, std::size_t max_connections,
           std::chrono::milliseconds acquire_timeout)
    : settings_(std::move(settings)),
      max_connections_(std::max<std::size_t>(max_connections, 1)),
      acquire_timeout_(acquire_timeout) {
  check_conninfo(settings_.conninfo);
}

Pool::~Pool() = default;

Pool::Lease::Lease(Pool& pool, std::unique_ptr<Connection> connection)
    : pool_(&pool), connection_(std::move(connection)) {}

Pool::Lease::Lease(Lease&& other) noexcept
    : pool_(std::exchange(other.pool_, nullptr)), connection_(std::move(other.connection_)) {}

Pool::Lease::~Lease() {
  if (pool_ != nullptr) pool_->give_back(std::move(connection_));
}

void Pool::Lease::discard() { connection_.reset(); }

Pool::Lease Pool::acquire() {
  std::unique_lock lock(mutex_);
  const bool free = returned_.wait_for(lock, acquire_timeout_,
                                       [&] { return !idle_.empty() || lent_ < max_connections_; });
  if (!free) {
    throw DatabaseError("Every connection to PostgreSQL stayed busy beyond the time limit");
  }
  ++lent_;
  if (!idle_.empty()) {
    std::unique_ptr<Connection> connection = std::move(idle_.back());
    idle_.pop_back();
    return Lease(*this, std::move(connection));
  }
  lock.unlock();
  try {
    return Lease(*this, std::make_unique<Connection>(settings_));
  } catch (...) {
    give_back(nullptr);
    throw;
  }
}

void Pool::drop_idle() {
  std::vector<std::unique_ptr<Connection>> closing;
  {
    std::lock_guard lock(mutex_);
    closing.swap(idle_);
  }
}

void Pool::give_back(std::unique_ptr<Connection> connection) {
  std::unique_ptr<Connection> closing;
  {
    std::lock_guard lock(mutex_);
    --lent_;
    // A lost connection, or one left inside a transaction, is closed: the
    // next caller connects afresh.
    if (connection != nullptr && !connection->broken() && !connection->in_transaction()) {
      idle_.push_back(std::move(connection));
    } else {
      closing = std::move(connection);
    }
  }
  returned_.notify_one();
}

}  // namespace tavoren::backend::pg
