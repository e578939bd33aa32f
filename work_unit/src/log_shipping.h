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
//
// Pure functions except ship_log_tail, which reads the file; callers
// serialise shipments of one file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
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

struct LogSender {
  // Sends one piece of text; true when it was accepted. It may use the
  // text's storage meanwhile but leaves the text as it found it.
  std::function<bool(std::string& text)> send;
  // Called with a text that holds the out-of-memory marker.
  std::function<void(const std::string& text)> report_marker;
};

// Ships the bytes of `path` after `offset` (see the top of this file).
// `recent` keeps the last bytes shipped, for markers split across pieces.
// Throws std::system_error when the file cannot be opened or read.
LogShipment ship_log_tail(const std::string& path, std::uint64_t& offset, std::string& recent,
                          bool final, std::size_t max_piece, const LogSender& sender);

}  // namespace detail
}  // namespace tavoren
