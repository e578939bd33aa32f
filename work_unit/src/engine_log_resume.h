// Completing an adopted action's log file from the container engine's own
// log of the container, once the `docker run` client that wrote the file is
// gone (see tavoren/action_store.h for why the file's size, and not its
// last line or time, tells where it stopped).
//
// The engine keeps the container's output as entries, each with the time
// it was read. The cursor says how much of that sequence the file already
// holds: `covered` bytes of the entries at or after `anchor` (of all
// entries while there is no anchor yet, which is how it starts: covered is
// then the file's size). A read asks the engine for the entries from the
// anchor on (from a nanosecond before it, and keeps those at or after it
// itself: whether the engine's `since` takes an entry exactly at that time
// does not matter then), counts their bytes off `covered` and appends what
// lies beyond. When a read got past everything covered, the anchor moves
// up to `margin` before the latest entry's time and `covered` becomes the
// bytes of the entries read at or after it, so the next read is short.
// The entries from a given time on always come in the same order, new
// ones after them; an entry stored more than `margin` after a later one
// would be missed, which the engine's copiers never come near. When the
// engine has not yet stored all the bytes the file holds (it hands the
// client output before it stores it), the read appends nothing and the
// next one tries again.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "tavoren/engine.h"

namespace tavoren::detail {

class EngineLogCursor {
 public:
  static constexpr std::int64_t kDefaultMarginNs = 10'000'000'000;

  explicit EngineLogCursor(std::uint64_t covered, std::int64_t margin_ns = kDefaultMarginNs)
      : covered_(covered), margin_ns_(margin_ns) {}

  // Where the next read starts (LogQuery::since_ns).
  std::optional<std::int64_t> since() const;
  // Starts a read.
  void begin();
  // The part of `entry` the file lacks (empty: nothing), in order.
  std::string_view take(const engine::LogEntry& entry);
  // Ends a read that got every entry; moves the anchor up when it could.
  void end();

  std::optional<std::int64_t> anchor() const { return anchor_; }
  std::uint64_t covered() const { return covered_; }
  // Bytes the file holds beyond what the last read found (the engine had
  // not stored them yet, or no longer has them).
  std::uint64_t missing() const { return read_ < covered_ ? covered_ - read_ : 0; }

 private:
  std::optional<std::int64_t> anchor_;
  std::uint64_t covered_;
  std::int64_t margin_ns_;
  // The read in progress: bytes of its entries so far, the latest time,
  // and its entries within `margin` of that time (time, bytes).
  std::uint64_t read_ = 0;
  std::optional<std::int64_t> latest_;
  std::deque<std::pair<std::int64_t, std::uint64_t>> recent_;
};

// Where the container's output begins in a log file: the client writes its
// own lines first (the image pull's progress, the engine's warnings), then
// what the container writes. The offset is the first one, within the
// file's first kClientTextLimit bytes, from which the file and `engine_head`
// (the first bytes of the engine's log) agree for as long as both go on;
// the file's size when the engine's log is empty (the container wrote
// nothing yet) or when no offset agrees (the file holds none of it).
inline constexpr std::size_t kClientTextLimit = 64u << 10;
std::uint64_t container_output_offset(std::string_view file_head, std::uint64_t file_size,
                                      std::string_view engine_head);

// Appends to an adopted action's log file what the engine holds beyond it.
// The first catch_up() finds where the container's output begins in the
// file (container_output_offset) and counts the file's bytes from there.
// Threads: catch_up() may be called from any thread; calls take turns.
class EngineLogResume {
 public:
  // `file_size`: the file's size once nobody writes it any more.
  EngineLogResume(std::string container_id, std::string log_path, std::uint64_t file_size);
  // One read: appends what is new; returns the bytes appended. Throws
  // engine::Error or std::system_error; after a failure the next call
  // starts over from the file's size.
  std::uint64_t catch_up();
  std::uint64_t missing() const;

 private:
  // Finds where the container's output begins in the file (see above).
  void align();

  const std::string container_id_;
  const std::string log_path_;
  const std::uint64_t file_size_;
  mutable std::mutex mutex_;
  bool aligned_ = false;
  // The client's own bytes at the file's start.
  std::uint64_t prefix_ = 0;
  EngineLogCursor cursor_;
};

}  // namespace tavoren::detail
