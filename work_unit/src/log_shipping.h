// Internal pieces of log streaming: one shipment of a log file's new bytes
// to a sender, as UTF-8 text (tavoren/common/utf8.h).
//
// A log file is shipped from a byte offset. Each shipment reads what lies
// between the offset and the end of the file (as large as the file was
// when the shipment began), in pieces of at most max_piece bytes cut at
// character boundaries, and hands each piece as UTF-8 text to the sender.
// The offset moves past a piece when the sender accepted it; a refused
// piece ends the shipment and is read again by the next one, as it was (no
// longer, even when the file grew meanwhile: a piece whose answer was lost
// may have been stored, and only the same piece is the same write). Unless the
// shipment is final, an incomplete character at the end of the file stays
// unread until its remaining bytes arrive.
//
// A piece that got no answer at all (the backend could not be reached) is
// not a refusal: it ends the shipment and is sent again as it was, however
// often, since it may have been stored and only the same piece is the same
// write; it never shrinks or drops a piece.
//
// Refusals are bounded. From the max_refusals-th refusal in a row at the
// same offset on, each refusal there halves the next piece (down to
// min_piece, one step per shipment); a piece of at most min_piece bytes
// refused then is dropped (reported to the sender with its byte range) and
// the shipment goes on after it. Nothing else is ever dropped: once the
// offset moves, the count and the piece size start afresh.
//
// Each piece goes with its place in the file: the file's stream identifier
// (random, made by restart(); resume() carries a kept one on) and its byte
// range, so that the backend can tell a piece it stored before. Before a
// piece is sent the sender is told its place (report_sending), so that a
// restarted agent can send exactly that piece again first (resume()'s
// `sending`): a piece stored just before the agent died is then recognised
// as a repeat rather than stored twice.
//
// Every byte is scanned for the GPU out-of-memory marker once, the first
// time a piece holding it is read, whether the sender accepts that piece
// or not; a piece read again reports nothing new. The scan goes on from
// the last bytes scanned before, so a marker split between two pieces is
// found; the reporter runs at most once per piece, and only for an
// occurrence it has not seen before.
#pragma once

#include <atomic>
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
  // Bytes the sender accepted.
  std::uint64_t sent = 0;
  // Bytes dropped after too many refusals.
  std::uint64_t dropped = 0;
  // Whether the offset reached the end found when the shipment began.
  bool reached_end = false;
};

// When the shipper gives up on a piece the sender keeps refusing.
struct RefusalLimits {
  // Refusals in a row at one offset before the pieces there shrink.
  int max_refusals = 5;
  // The smallest piece (at least 4 bytes); refused once the pieces have
  // shrunk to this size, it is dropped.
  std::size_t min_piece = 1024;
};

// What became of a piece sent.
enum class SendOutcome {
  kAccepted,
  // The backend answered and did not take it.
  kRefused,
  // No answer came: it may or may not have been stored.
  kUnanswered,
};

// Where a piece lies in its log file: the file's stream identifier and
// the piece's bytes [start, end) (the text sent may differ from those
// bytes where they were not valid UTF-8).
struct LogSpan {
  std::string_view stream;
  std::uint64_t start = 0;
  std::uint64_t end = 0;
};

// Where a shipper's pieces go.
struct LogSender {
  // Sends one piece of text, read from `span` of the file. It may use the
  // text's storage meanwhile but leaves the text as it found it. It does
  // not throw: a failure to send is a refusal, or unanswered when it may
  // pass.
  std::function<SendOutcome(std::string& text, const LogSpan& span)> send;
  // Called with a text that holds the out-of-memory marker.
  std::function<void(const std::string& text)> report_marker;
  // Told of a dropped piece: its first and last byte (offsets in the
  // file) and how many times it was refused. May be empty.
  std::function<void(std::uint64_t first, std::uint64_t last, int refusals)> report_drop;
  // Told after each piece accepted or dropped: the bytes shipped so far and
  // how far the file was scanned for the marker. May be empty.
  std::function<void(std::uint64_t shipped, std::uint64_t scanned)> report_progress;
  // Told before each piece is sent, with its place. May be empty.
  std::function<void(const LogSpan& span)> report_sending;
};

// Ships one log file to a sender (see the top of this file), keeping what
// was shipped: the offset, the refusals at it, how far the file was scanned
// for the marker and the last bytes scanned, for markers split across
// pieces.
//
// Threads: every member may be called from any thread. One shipment runs
// at a time: a shipment claims the shipper, and the claim (not the lock)
// is held while the sender works, so offset() stays readable meanwhile.
class LogShipper {
 public:
  // `max_piece` bounds the bytes of one piece (at least 4, so that a piece
  // always holds one whole character beyond an incomplete one).
  LogShipper(LogSender sender, std::size_t max_piece, RefusalLimits limits = {});
  LogShipper(const LogShipper&) = delete;
  LogShipper& operator=(const LogShipper&) = delete;

  // Ships `path` from its first byte from now on, as a new stream: nothing
  // shipped, scanned or refused. Waits for a shipment in progress.
  void restart(std::string path);
  // Ships `path` on from `offset`, as a shipper that stopped there would
  // (a restarted agent taking a log over): the file counts as scanned for
  // the marker up to `scanned` (at least `offset`), and its last bytes
  // before that are read again so that a marker split there is found. The
  // pieces keep the stream `stream` (empty: a new one). `sending`, beyond
  // `offset`, is the end of the piece that was being sent: the first piece
  // is that one again, no longer (shorter only when the file is).
  // Waits for a shipment in progress.
  void resume(std::string path, std::uint64_t offset, std::uint64_t scanned,
              std::string stream = "", std::uint64_t sending = 0);
  // Ships nothing more, for good: a shipment in progress ends after the
  // piece being sent, and later ones find nothing to do.
  void abandon();
  // Ships what follows the offset; `final` sends an incomplete trailing
  // character too. `wait_limit` bounds the wait for a shipment in progress
  // on another thread (nullopt: no bound; std::runtime_error when it
  // passes). Whatever the sender accepted counts, even when a later read
  // fails. Throws std::system_error when the file cannot be read. Ships
  // nothing before the first restart().
  LogShipment ship(bool final, std::optional<std::chrono::milliseconds> wait_limit = std::nullopt);
  // The bytes shipped (accepted or dropped) so far.
  std::uint64_t offset() const;
  // The bytes dropped so far.
  std::uint64_t dropped() const;
  // The stream identifier of the pieces (empty before the first restart).
  std::string stream() const;

 private:
  // What a shipment works on; copied out under the lock, published back.
  struct Progress {
    std::uint64_t offset = 0;
    // Refusals in a row of pieces at `offset`.
    int refusals = 0;
    // The bound of the next piece at `offset` once refusals shrank it; 0:
    // max_piece.
    std::size_t narrowed = 0;
    // The length of the piece last refused at `offset`, or sent there by
    // a previous agent with no answer known (0: none): the next piece there
    // is no longer, so that it is the same piece again.
    std::size_t refused_length = 0;
    // The file was scanned for the marker up to here (never below offset).
    std::uint64_t scanned = 0;
    // The last bytes scanned (fewer than the marker's length).
    std::string recent;
    std::uint64_t dropped = 0;
    // The file's stream identifier.
    std::string stream;

    void move_past(std::size_t length) {
      offset += length;
      refusals = 0;
      narrowed = 0;
      refused_length = 0;
    }
  };

  LogShipment ship_tail(const std::string& path, Progress& progress, bool final) const;
  // Scans the bytes of `piece` (read at `offset`) that lie beyond
  // progress.scanned, and reports them when they complete a marker.
  void watch_for_marker(Progress& progress, std::uint64_t offset, std::string_view piece) const;

  const LogSender sender_;
  const std::size_t max_piece_;
  const RefusalLimits limits_;

  mutable std::mutex mutex_;
  std::condition_variable free_;
  bool shipping_ = false;
  std::atomic<bool> abandoned_{false};
  std::optional<std::string> path_;
  Progress progress_;
};

}  // namespace detail
}  // namespace tavoren
