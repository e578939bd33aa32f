#include "sqlite.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "tavoren/common/logging.h"
#include "tavoren/sqlite_store.h"

namespace tavoren::backend::sqlite {

// ---- Statement ---------------------------------------------------------

Statement::Statement(Connection& connection, sqlite3_stmt* statement, bool owned)
    : connection_(connection), statement_(statement), owned_(owned) {}

Statement::~Statement() {
  if (owned_) {
    sqlite3_finalize(statement_);
  } else {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
    connection_.release(statement_);
  }
}

Statement& Statement::bind(int index, std::string_view text) {
  const int rc = sqlite3_bind_text64(statement_, index, text.data(), text.size(), SQLITE_TRANSIENT,
                                     SQLITE_UTF8);
  if (rc != SQLITE_OK) connection_.fail(rc, "binding a text parameter");
  return *this;
}

Statement& Statement::bind(int index, std::int64_t value) {
  const int rc = sqlite3_bind_int64(statement_, index, value);
  if (rc != SQLITE_OK) connection_.fail(rc, "binding an integer parameter");
  return *this;
}

Statement& Statement::bind_blob(int index, std::string_view bytes) {
  // A zero-length blob must still be a blob, not NULL: data() of an empty
  // view may be null, which SQLite would read as NULL.
  static const char kEmpty = 0;
  const int rc = sqlite3_bind_blob64(statement_, index, bytes.empty() ? &kEmpty : bytes.data(),
                                     bytes.size(), SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) connection_.fail(rc, "binding a blob parameter");
  return *this;
}

Statement& Statement::bind_null(int index) {
  const int rc = sqlite3_bind_null(statement_, index);
  if (rc != SQLITE_OK) connection_.fail(rc, "binding a null parameter");
  return *this;
}

bool Statement::step() {
  const int rc = sqlite3_step(statement_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  connection_.fail(rc, std::string("running \"") + sqlite3_sql(statement_) + "\"");
}

void Statement::run() {
  while (step()) {
  }
}

int Statement::columns() const { return sqlite3_column_count(statement_); }

bool Statement::is_null(int column) {
  return sqlite3_column_type(statement_, column) == SQLITE_NULL;
}

std::string Statement::text(int column) {
  // Blobs and texts alike: the bytes as stored.
  const void* data = sqlite3_column_blob(statement_, column);
  const int size = sqlite3_column_bytes(statement_, column);
  if (data == nullptr || size <= 0) return "";
  return std::string(static_cast<const char*>(data), static_cast<std::size_t>(size));
}

std::int64_t Statement::integer(int column) { return sqlite3_column_int64(statement_, column); }

// ---- Connection ----------------------------------------------------------

Connection::Connection(const std::filesystem::path& path, std::chrono::milliseconds busy_timeout) {
  // The agent's threads each borrow their own connection, so SQLite's
  // per-connection mutex is not needed.
  const int rc =
      sqlite3_open_v2(path.c_str(), &db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    std::string message = "Cannot open the backend database " + path.string() + ": " +
                          (db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(rc));
    sqlite3_close_v2(db_);
    db_ = nullptr;
    throw DatabaseError(message);
  }
  try {
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, static_cast<int>(busy_timeout.count()));
    exec("PRAGMA foreign_keys = ON");
    std::string mode;
    {
      Statement journal = prepare("PRAGMA journal_mode = WAL");
      if (journal.step()) mode = journal.text(0);
    }
    if (mode != "wal") {
      throw DatabaseError("The backend database " + path.string() +
                          " cannot use write-ahead logging (journal mode \"" + mode + "\")");
    }
    // In write-ahead log mode NORMAL keeps the file consistent on a crash;
    // only the last commits may be lost on a power failure.
    exec("PRAGMA synchronous = NORMAL");
  } catch (...) {
    for (auto& [sql, cached] : statements_) sqlite3_finalize(cached.statement);
    statements_.clear();
    sqlite3_close_v2(db_);
    db_ = nullptr;
    throw;
  }
}

Connection::~Connection() {
  for (auto& [sql, cached] : statements_) sqlite3_finalize(cached.statement);
  sqlite3_close_v2(db_);
}

void Connection::exec(const char* sql) {
  char* message = nullptr;
  const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &message);
  if (rc != SQLITE_OK) {
    std::string text = message != nullptr ? message : sqlite3_errstr(rc);
    sqlite3_free(message);
    throw DatabaseError(std::string("Backend database failure running \"") + sql + "\": " + text);
  }
}

Statement Connection::prepare(const char* sql) {
  auto found = statements_.find(std::string_view(sql));
  if (found != statements_.end() && !found->second.in_use) {
    found->second.in_use = true;
    return Statement(*this, found->second.statement, false);
  }
  sqlite3_stmt* statement = nullptr;
  const bool cache = found == statements_.end();
  const int rc =
      sqlite3_prepare_v3(db_, sql, -1, cache ? SQLITE_PREPARE_PERSISTENT : 0, &statement, nullptr);
  if (rc != SQLITE_OK) fail(rc, std::string("preparing \"") + sql + "\"");
  if (!cache) return Statement(*this, statement, true);
  statements_.emplace(sql, Cached{statement, true});
  return Statement(*this, statement, false);
}

void Connection::release(sqlite3_stmt* statement) {
  for (auto& [sql, cached] : statements_) {
    if (cached.statement == statement) {
      cached.in_use = false;
      return;
    }
  }
}

std::int64_t Connection::pragma_integer(const char* sql) {
  Statement statement = prepare(sql);
  if (!statement.step()) throw DatabaseError(std::string("No answer to \"") + sql + "\"");
  return statement.integer(0);
}

bool Connection::in_transaction() const { return sqlite3_get_autocommit(db_) == 0; }

std::int64_t Connection::changes() const { return sqlite3_changes64(db_); }

void Connection::fail(int rc, std::string_view what) const {
  std::string message = "Backend database failure ";
  message += what;
  message += ": ";
  message += sqlite3_errmsg(db_);
  if ((rc & 0xff) == SQLITE_BUSY) message += " (another connection held the lock too long)";
  throw DatabaseError(message);
}

// ---- Transaction ---------------------------------------------------------

Transaction::Transaction(Connection& connection, Kind kind) : connection_(connection) {
  connection_.exec(kind == Kind::write ? "BEGIN IMMEDIATE" : "BEGIN");
}

Transaction::~Transaction() {
  if (open_ && connection_.in_transaction()) {
    try {
      connection_.exec("ROLLBACK");
    } catch (const DatabaseError&) {
      // SQLite has already undone the transaction when ROLLBACK fails.
    }
  }
}

void Transaction::commit() {
  connection_.exec("COMMIT");
  open_ = false;
}

// ---- Pool ----------------------------------------------------------------

namespace {

// Gives `path` mode 0600 when it grants anything to others (a file left by
// an older program). Only the owner may change a mode; for anyone else the
// file stays as it is.
void close_to_others(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) == 0 && (info.st_mode & 077) != 0) ::fchmod(fd, 0600);
}

}  // namespace

void protect_database_files(const std::filesystem::path& path) {
  // SQLite creates the -wal and -shm files with the main file's mode, so a
  // main file created 0600 keeps all three private.
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return;  // SQLite's own open reports why
  close_to_others(fd);
  ::close(fd);
  for (const char* suffix : {"-wal", "-shm"}) {
    const std::string companion = path.string() + suffix;
    const int companion_fd = ::open(companion.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (companion_fd < 0) continue;
    close_to_others(companion_fd);
    ::close(companion_fd);
  }
}

void Connection::on_commit(int (*hook)(void*, sqlite3*, const char*, int), void* context) {
  sqlite3_wal_hook(db_, hook, context);
}

void Connection::checkpoint() {
  const int rc =
      sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
  if (rc != SQLITE_OK) fail(rc, "copying the write-ahead log back");
}

Checkpointer::Checkpointer(std::filesystem::path path, std::chrono::milliseconds busy_timeout)
    : path_(std::move(path)), busy_timeout_(busy_timeout) {}

Checkpointer::~Checkpointer() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void Checkpointer::watch(Connection& connection) { connection.on_commit(&committed, this); }

std::uint64_t Checkpointer::copies() const {
  std::lock_guard lock(mutex_);
  return copies_;
}

int Checkpointer::committed(void* context, sqlite3* db, const char* name, int pages) {
  if (pages >= kInlinePages) {
    // The thread does not keep up: this writer copies, as SQLite's own
    // automatic checkpoint would; a failure leaves the commit done.
    sqlite3_wal_checkpoint_v2(db, name, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
  } else if (pages >= kPages) {
    static_cast<Checkpointer*>(context)->request();
  }
  return SQLITE_OK;
}

void Checkpointer::request() {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    requested_ = true;
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
  }
  wake_.notify_one();
}

void Checkpointer::run() {
  std::unique_ptr<Connection> connection;
  std::unique_lock lock(mutex_);
  while (true) {
    wake_.wait(lock, [&] { return requested_ || stopping_; });
    if (stopping_) return;
    requested_ = false;
    lock.unlock();
    bool copied = false;
    try {
      if (!connection) connection = std::make_unique<Connection>(path_, busy_timeout_);
      connection->checkpoint();
      copied = true;
    } catch (const DatabaseError& e) {
      log::warning("The write-ahead log of %s was not copied back: %s", path_.string(), e.what());
      connection.reset();
    }
    lock.lock();
    if (copied) ++copies_;
  }
}

Pool::Pool(std::filesystem::path path, std::chrono::milliseconds busy_timeout)
    : path_(std::move(path)), busy_timeout_(busy_timeout), checkpointer_(path_, busy_timeout) {
  protect_database_files(path_);
}

Pool::~Pool() = default;

Pool::Lease::Lease(Pool& pool, std::unique_ptr<Connection> connection)
    : pool_(pool), connection_(std::move(connection)) {}

Pool::Lease::~Lease() { pool_.give_back(std::move(connection_)); }

Pool::Lease Pool::acquire() {
  {
    std::lock_guard lock(mutex_);
    if (!idle_.empty()) {
      std::unique_ptr<Connection> connection = std::move(idle_.back());
      idle_.pop_back();
      return Lease(*this, std::move(connection));
    }
  }
  auto connection = std::make_unique<Connection>(path_, busy_timeout_);
  checkpointer_.watch(*connection);
  return Lease(*this, std::move(connection));
}

Pool::WriterTurn Pool::writer_turn() {
  std::unique_lock lock(turn_mutex_);
  if (!turn_free_.wait_for(lock, busy_timeout_, [&] { return !turn_taken_; })) {
    throw DatabaseError(
        "Backend database failure: database is locked (another writer of this process held "
        "it too long)");
  }
  turn_taken_ = true;
  return WriterTurn(*this);
}

Pool::WriterTurn::~WriterTurn() {
  if (pool_ == nullptr) return;
  {
    std::lock_guard lock(pool_->turn_mutex_);
    pool_->turn_taken_ = false;
  }
  pool_->turn_free_.notify_one();
}

void Pool::give_back(std::unique_ptr<Connection> connection) {
  // A connection left inside a transaction (a failed rollback) is not
  // reused.
  if (connection->in_transaction()) return;
  std::lock_guard lock(mutex_);
  if (idle_.size() < kMaxIdle) idle_.push_back(std::move(connection));
}

}  // namespace tavoren::backend::sqlite
