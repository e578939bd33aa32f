// Internal pieces of log streaming: one shipment of a log file's new bytes
// to a sender, as UTF-8 text (tavoren/common/utf8.h).
//
// A log file is shipped from a byte offset. Each shipment reads what lies
// between the offset and the end of the file (as large as the file was
// when the shipment began), in pieces of at most max_piece bytes cut at
// character boundaries, and hands each piece as UTF-8 text to the sender.
// The offset moves past a piece only when the sender accepted it; a refused
// piece ends the shipment and is read again by the next one. Unless the
// shipment is final, an incomplete character at the end of the file stays
// unread until its remaining bytes arrive.
//
// Each accepted piece is scanned for the GPU out-of-memory marker together
// with the last bytes shipped before it, so a marker split between two
// pieces is found; the reporter runs at most once per piece, and only for
// an occurrence it has not seen before.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "tavoren/common/utf8.h"
#include "tavoren/work_unit.h"

namespace tavoren {
namespace detail {

struct LogShipment {
  // Bytes found after the offset when the shipment began.
  std::uint64_t read = 0;
  // Bytes the sender accepted (the offset moved by this much).
  std::uint64_t sent = 0;
};

// Where a shipper's pieces go.
struct LogSender {
  // Sends one piece of text; true when it was accepted. It may use the
  // text's storage meanwhile but leaves the text as it found it.
  std::function<bool(std::string& text)> send;
  // Called with a text that holds the out-of-memory marker.
  std::function<void(const std::string& text)> report_marker;
};

// Ships one log file to a sender (see the top of this file), keeping what
// was shipped: the offset, and the last bytes shipped for markers split
// across pieces.
//
// Threads: every member may be called from any thread. One shipment runs
// at a time: a shipment claims the shipper, and the claim (not the lock)
// is held while the sender works, so offset() stays readable meanwhile.
class LogShipper {
 public:
  // `max_piece` bounds the bytes of one piece (at least 4, so that a piece
  // always holds one whole character beyond an incomplete one).
  LogShipper(LogSender sender, std::size_t max_piece);
  LogShipper(const LogShipper&) = delete;
  LogShipper& operator=(const LogShipper&) = delete;

  // Ships `path` from its first byte from now on: nothing shipped, no
  // marker seen. Waits for a shipment in progress.
  void restart(std::string path);
  // Ships what follows the offset; `final` sends an incomplete trailing
  // character too. `wait_limit` bounds the wait for a shipment in progress
  // on another thread (nullopt: no bound; std::runtime_error when it
  // passes). Whatever the sender accepted counts, even when a later read
  // fails. Throws std::system_error when the file cannot be read. Ships
  // nothing before the first restart().
  LogShipment ship(bool final, std::optional<std::chrono::milliseconds> wait_limit = std::nullopt);
  // The bytes shipped so far.
  std::uint64_t offset() const;

 private:
  LogShipment ship_tail(const std::string& path, std::uint64_t& offset, std::string& recent,
                        bool final) const;
  // Reports `text` (just accepted) when it holds the marker, or when the
  // marker begins in `recent` and ends in `text`; then moves `recent` on.
  void watch_for_marker(std::string& recent, const std::string& text) const;

  const LogSender sender_;
  const std::size_t max_piece_;

  mutable std::mutex mutex_;
  std::condition_variable free_;
  bool shipping_ = false;
  std::optional<std::string> path_;
  std::uint64_t offset_ = 0;
  std::string recent_;
};

}  // namespace detail
}  // namespace tavoren
