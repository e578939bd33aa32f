// The parts of the store port every database shares: parameters, rows and
// the expansion of the core's SQL into a database's own.

#include "tavoren/store_port.h"

#include <cctype>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "tavoren/common/errors.h"
#include "tavoren/store_rules.h"

namespace tavoren::backend::core {

Params& Params::text(std::string_view value) {
  values_.push_back(Value{Kind::text, std::string(value), 0});
  return *this;
}

Params& Params::integer(std::int64_t value) {
  values_.push_back(Value{Kind::integer, {}, value});
  return *this;
}

Params& Params::boolean(bool value) {
  values_.push_back(Value{Kind::boolean, {}, value ? 1 : 0});
  return *this;
}

Params& Params::bytes(std::string_view value) {
  values_.push_back(Value{Kind::bytes, std::string(value), 0});
  return *this;
}

Params& Params::null() {
  values_.push_back(Value{});
  return *this;
}

Params& Params::optional_text(const std::optional<std::string>& value) {
  return value ? text(*value) : null();
}

Params& Params::optional_integer(const std::optional<std::int64_t>& value) {
  return value ? integer(*value) : null();
}

Json Rows::nullable_text(int column) { return is_null(column) ? Json() : Json(text(column)); }

Json Rows::nullable_integer(int column) { return is_null(column) ? Json() : Json(integer(column)); }

namespace {

const std::string* phrase(std::string_view name, const Phrases& phrases) {
  if (name == "now") return &phrases.now;
  if (name == "now_ms") return &phrases.now_ms;
  if (name == "lock") return &phrases.lock;
  if (name == "skip_locked") return &phrases.skip_locked;
  if (name == "C") return &phrases.collate_c;
  if (name == "next_scale_down") return &phrases.next_scale_down;
  if (name == "purge_answers") return &phrases.purge_answers;
  if (name == "purge_nonces") return &phrases.purge_nonces;
  return nullptr;
}

}  // namespace

std::string expand_sql(std::string_view sql, const Phrases& phrases) {
  std::string out;
  out.reserve(sql.size() + 32);
  bool quoted = false;
  for (std::size_t i = 0; i < sql.size(); ++i) {
    const char c = sql[i];
    if (c == '\'') quoted = !quoted;
    if (!quoted && c == '{') {
      const std::size_t end = sql.find('}', i);
      const std::string* replacement =
          end == std::string_view::npos ? nullptr : phrase(sql.substr(i + 1, end - i - 1), phrases);
      if (replacement == nullptr) {
        throw std::logic_error("Unknown phrase in a store statement: " + std::string(sql));
      }
      // A phrase may hold a whole statement written in the core's SQL.
      out += expand_sql(*replacement, phrases);
      i = end;
      continue;
    }
    if (!quoted && c == '$' && i + 1 < sql.size() &&
        std::isdigit(static_cast<unsigned char>(sql[i + 1])) != 0) {
      out += phrases.parameter_prefix;
      continue;
    }
    out += c;
  }
  return out;
}

namespace {

// A map of statements looked up by their text without copying it.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const {
    return std::hash<std::string_view>{}(text);
  }
};
using Expansions = std::unordered_map<std::string, std::string, TextHash, std::equal_to<>>;

}  // namespace

const std::string& expanded_sql(std::string_view sql, const Phrases& phrases) {
  thread_local std::unordered_map<const Phrases*, Expansions> caches;
  Expansions& cache = caches[&phrases];
  auto found = cache.find(sql);
  if (found == cache.end()) found = cache.emplace(sql, expand_sql(sql, phrases)).first;
  return found->second;
}

namespace {

NonceRide*& ride_of_thread() {
  thread_local NonceRide* ride = nullptr;
  return ride;
}

}  // namespace

NonceRide::NonceRide(const Port& port, std::string access_key, std::string nonce,
                     std::int64_t expires_at)
    : port_(port),
      access_key_(std::move(access_key)),
      nonce_(std::move(nonce)),
      expires_at_(expires_at),
      previous_(ride_of_thread()) {
  ride_of_thread() = this;
}

NonceRide::~NonceRide() { ride_of_thread() = previous_; }

NonceRide* NonceRide::of_thread(const Port& port) {
  NonceRide* ride = ride_of_thread();
  return ride != nullptr && &ride->port_ == &port ? ride : nullptr;
}

NonceRide* NonceRide::waiting(const Port& port) {
  NonceRide* ride = of_thread(port);
  return ride != nullptr && ride->state_ == State::kWaiting ? ride : nullptr;
}

void NonceRide::refuse_if_replayed(const Port& port) {
  const NonceRide* ride = of_thread(port);
  if (ride != nullptr && ride->replayed()) throw ReplayedNonce();
}

void NonceRide::board(Tx& tx) {
  // An expired nonce of the same key is taken over; a live one makes the
  // insert fail, and with it the transaction.
  const Params params = Params().text(access_key_).text(nonce_);
  tx.run("DELETE FROM request_nonces WHERE access_key = $1 AND nonce = $2 AND expires_at <= $3",
         Params(params).integer(unix_now()));
  tx.run("INSERT INTO request_nonces (access_key, nonce, expires_at) VALUES ($1, $2, $3)",
         Params(params).integer(expires_at_));
  state_ = State::kAboard;
}

void NonceRide::committed() {
  if (state_ == State::kAboard) state_ = State::kKept;
}

void NonceRide::rolled_back(bool replayed) {
  if (state_ == State::kAboard) state_ = replayed ? State::kReplayed : State::kWaiting;
}

}  // namespace tavoren::backend::core
