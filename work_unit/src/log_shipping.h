// Internal pieces of log streaming: UTF-8 text from raw log bytes, and one
// shipment of a log file's new bytes to a sender.
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

#include "tavoren/work_unit.h"

namespace tavoren {
namespace detail {

struct LogShipment {
  // Bytes found after the offset when the shipment began.
  std::uint64_t read = 0;
  // Bytes the sender accepted (the offset moved by this much).
  std::uint64_t sent = 0;
};

inline constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

// Whether `bytes` is well-formed UTF-8 (vectorised where the processor
// allows; the portable form gives the same answers, for tests).
bool is_well_formed_utf8(std::string_view bytes);
bool is_well_formed_utf8_portable(std::string_view bytes);

// The length (0 to 3) of an incomplete but so far well-formed multi-byte
// character at the very end of `bytes`.
std::size_t incomplete_utf8_suffix(std::string_view bytes);

// `bytes` with each maximal ill-formed subsequence replaced by U+FFFD.
std::string replace_ill_formed_utf8(std::string_view bytes);

// `bytes` as well-formed UTF-8: unchanged (moved) when it already is, else
// replace_ill_formed_utf8(bytes).
std::string decode_utf8_lossy(std::string bytes);

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
