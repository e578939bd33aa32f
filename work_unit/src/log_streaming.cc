// Log streaming: the log thread ships each action's log file to the backend
// every log_interval, and once more at the end; pieces that hold the GPU
// out-of-memory marker mark the action as failed.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>
#include <thread>

#include "log_shipping.h"
#include "tavoren/common/json.h"
#include "tavoren/common/log_errors.h"
#include "tavoren/common/logging.h"
#include "tavoren/work_unit.h"

namespace tavoren {
namespace detail {
namespace {

class ReadOnlyFile {
 public:
  explicit ReadOnlyFile(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "cannot open " + path);
  }
  ~ReadOnlyFile() { ::close(fd_); }
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

  std::uint64_t size() const {
    struct stat st;
    if (::fstat(fd_, &st) != 0) throw std::system_error(errno, std::generic_category(), "fstat");
    return static_cast<std::uint64_t>(st.st_size);
  }

  // Reads up to `length` bytes at `offset` to `into`; fewer only at the end
  // of the file. Returns the count.
  std::size_t read_at(std::uint64_t offset, std::size_t length, char* into) const {
    std::size_t got = 0;
    while (got < length) {
      ssize_t r = ::pread(fd_, into + got, length - got, static_cast<off_t>(offset + got));
      if (r < 0) {
        if (errno == EINTR) continue;
        throw std::system_error(errno, std::generic_category(), "read");
      }
      if (r == 0) break;
      got += static_cast<std::size_t>(r);
    }
    return got;
  }

 private:
  int fd_;
};

constexpr std::size_t kOverlap = kCudaOutOfMemory.size() - 1;
// Pieces are read in slices of this size, each checked while in cache.
constexpr std::size_t kSlice = 256u << 10;

// What reading one piece found out about its bytes [0, checked).
struct PieceScan {
  std::size_t checked = 0;
  bool well_formed = true;
  bool has_marker = false;  // wholly inside [0, checked)
};

// Reads up to `want` bytes at `offset` into `bytes`, checking well-formedness
// and looking for the marker slice by slice. A slice is checked up to its
// last whole character; the rest is checked with the next one.
PieceScan read_piece(const ReadOnlyFile& file, std::uint64_t offset, std::size_t want,
                     std::string& bytes) {
  bytes.resize(want);  // keeps the capacity of earlier pieces
  PieceScan scan;
  std::size_t got = 0;
  while (got < want) {
    const std::size_t n =
        file.read_at(offset + got, std::min(kSlice, want - got), bytes.data() + got);
    got += n;
    const std::string_view read(bytes.data(), got);
    const std::size_t upto = got - incomplete_utf8_suffix(read.substr(scan.checked));
    if (upto > scan.checked) {
      const std::string_view slice = read.substr(scan.checked, upto - scan.checked);
      scan.well_formed = scan.well_formed && is_valid_utf8(slice);
      const std::size_t from = scan.checked >= kOverlap ? scan.checked - kOverlap : 0;
      scan.has_marker =
          scan.has_marker || read.substr(from, upto - from).find(kCudaOutOfMemory) != read.npos;
      scan.checked = upto;
    }
    if (n == 0 || n < std::min(kSlice, want - (got - n))) break;  // end of file
  }
  bytes.resize(got);
  return scan;
}

}  // namespace

LogShipment ship_log_tail(const std::string& path, std::uint64_t& offset, std::string& recent,
                          bool final, std::size_t max_piece, const LogSender& sender) {
  // A piece must hold at least one whole character beyond an incomplete one.
  const std::size_t piece_limit = std::max<std::size_t>(max_piece, 4);

  LogShipment shipment;
  ReadOnlyFile file(path);
  std::uint64_t end = file.size();
  if (end <= offset) return shipment;
  shipment.read = end - offset;

  std::string bytes;  // reused by every piece of this shipment
  std::string replaced;
  while (offset < end) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(piece_limit, end - offset));
    PieceScan scan = read_piece(file, offset, want, bytes);
    if (bytes.size() < want) end = offset + bytes.size();  // the file shrank meanwhile
    if (bytes.empty()) break;
    const bool last = offset + bytes.size() >= end;
    std::size_t length = bytes.size();
    if (!(last && final)) length -= incomplete_utf8_suffix(bytes);
    if (length == 0) break;  // only an incomplete character is left: wait for the rest
    bytes.resize(length);
    const std::string_view piece(bytes);
    if (length > scan.checked) {  // a final piece's incomplete end
      scan.well_formed = scan.well_formed && is_valid_utf8(piece.substr(scan.checked));
      const std::size_t from = scan.checked >= kOverlap ? scan.checked - kOverlap : 0;
      scan.has_marker = scan.has_marker || piece.substr(from).find(kCudaOutOfMemory) != piece.npos;
    } else if (length < scan.checked) {
      scan.well_formed = false;  // not cut where the scan expected: check it all again
    }

    std::string* text = &bytes;
    if (!scan.well_formed) {
      replaced = replace_invalid_utf8(bytes);
      text = &replaced;
      scan.has_marker = replaced.find(kCudaOutOfMemory) != std::string::npos;
    }
    if (!sender.send(*text)) break;
    offset += length;
    shipment.sent += length;

    // A marker that began in the previous piece ends within the first
    // kOverlap bytes of this one.
    std::string boundary = recent;
    boundary.append(*text, 0, std::min(text->size(), kOverlap));
    if (boundary.find(kCudaOutOfMemory) != std::string::npos) {
      sender.report_marker(boundary);
    } else if (scan.has_marker) {
      sender.report_marker(*text);
    }
    if (text->size() >= kOverlap) {
      recent.assign(*text, text->size() - kOverlap, kOverlap);
    } else {
      recent.append(*text);
      if (recent.size() > kOverlap) recent.erase(0, recent.size() - kOverlap);
    }
  }
  return shipment;
}

}  // namespace detail

namespace {

// Sends one piece. The text's storage is lent to the request (no copy of a
// large piece) and handed back afterwards, whatever happens.
bool send_log_piece(backend::Scaling& scaling, const std::string& action_record_id,
                    std::string& text) {
  return log_errors("_send_logs_to_scaling", {.default_return = false, .log_error = false}, [&] {
    Json arguments = Json::object();
    arguments["action_record_id"] = action_record_id;
    arguments["log_content"] = std::move(text);
    struct HandBack {
      Json& arguments;
      std::string& text;
      ~HandBack() { text = std::move(arguments.at("log_content").get_ref<std::string&>()); }
    } hand_back{arguments, text};
    const backend::Result result = scaling.update_action_docker_logs(arguments);
    if (result.has_error()) {
      log::error("Error from update_action_docker_logs: %s", *result.error);
      return false;
    }
    return true;
  });
}

}  // namespace

void WorkUnit::request_thread_stop() {
  {
    std::lock_guard lock(wake_mutex_);
    stop_thread_ = true;
  }
  wake_.notify_all();
}

void WorkUnit::run_log_thread() {
  send_logs_continuously();
  {
    std::lock_guard lock(wake_mutex_);
    log_thread_done_ = true;
  }
  wake_.notify_all();
}

WorkUnit::Shipment WorkUnit::ship_new_log_bytes(
    bool final, std::optional<std::chrono::milliseconds> lock_limit) {
  const std::optional<std::string> path = log_path();
  if (!path) return {};
  // Claim the shipping state; the claim, not the mutex, is held while the
  // backend is called, so the offset stays readable meanwhile.
  std::uint64_t offset;
  std::string recent;
  {
    std::unique_lock lock(ship_mutex_);
    auto free = [&] { return !shipping_; };
    if (!lock_limit) {
      ship_free_.wait(lock, free);
    } else if (!ship_free_.wait_for(lock, *lock_limit, free)) {
      throw std::runtime_error("the log thread is still sending the log");
    }
    shipping_ = true;
    offset = last_log_position_;
    recent = cuda_tail_;
  }
  // Whatever was accepted counts, even when a later read fails.
  struct Release {
    WorkUnit& unit;
    std::uint64_t& offset;
    std::string& recent;
    ~Release() {
      {
        std::lock_guard lock(unit.ship_mutex_);
        unit.last_log_position_ = offset;
        unit.cuda_tail_ = std::move(recent);
        unit.shipping_ = false;
      }
      unit.ship_free_.notify_all();
    }
  } release{*this, offset, recent};
  const detail::LogSender sender{
      .send =
          [this](std::string& text) { return send_log_piece(scaling_, action_record_id_, text); },
      .report_marker = [this](const std::string& text) { _check_cuda(text); },
  };
  return detail::ship_log_tail(*path, offset, recent, final, options_.max_log_piece, sender);
}

void WorkUnit::send_logs_continuously() {
  log_errors("send_logs_continuously", {.log_error = false}, [&] {
    const std::string id = label();
    const std::optional<std::string> path = log_path();
    auto log_exists = [&] {
      std::error_code ec;
      return path && std::filesystem::exists(*path, ec);
    };
    while (!stop_thread_.load() && log_exists()) {
      try {
        ship_new_log_bytes(false);
      } catch (const std::exception& e) {
        log::error("Error reading logs for action %s: %s", id, e.what());
      }
      std::unique_lock lock(wake_mutex_);
      wake_.wait_for(lock, options_.timings.log_interval, [&] { return stop_thread_.load(); });
    }
    log::info("Log monitoring thread stopping for action %s, performing final check", id);
    if (log_exists()) {
      try {
        // An incomplete last character is sent only when no one can finish it.
        const Shipment shipment = ship_new_log_bytes(child_gone_.load());
        if (shipment.sent > 0) {
          log::info("Sent final %d bytes of logs for action %s", shipment.sent, id);
        }
      } catch (const std::exception& e) {
        log::error("Error in final log read for action %s: %s", id, e.what());
      }
    }
  });
}

bool WorkUnit::_send_logs_to_scaling(const std::string& log_content) {
  std::string text = log_content;
  return send_log_piece(scaling_, action_record_id_, text);
}

void WorkUnit::_check_cuda(const std::string& log_content) {
  log_errors("_check_cuda", {.log_error = false}, [&] {
    if (log_content.find(kCudaOutOfMemory) == std::string::npos) return;
    const std::optional<Json> details = get_action_details();
    if (!details || !is_truthy(*details)) return;
    Json arguments = Json::object();
    arguments["id"] = action_record_id_;
    arguments["step_code"] = "ERROR";
    arguments["action_type"] = details->at("action");
    arguments["status"] = "ERROR";
    arguments["status_description"] = std::string(kCudaOutOfMemory);
    arguments["service"] = "bg-job-scheduler";
    arguments["job_params"] = details->at("jobParams");
    scaling_.update_action(arguments);
  });
}

void WorkUnit::_ensure_final_logs_sent() {
  const std::optional<std::string> path = log_path();
  std::error_code ec;
  if (!path || path->empty() || !std::filesystem::exists(*path, ec)) return;
  const std::string id = label();
  try {
    request_thread_stop();
    std::this_thread::sleep_for(options_.timings.flush_delay);
    log::info("Performing final log flush for action %s", id);
    // While the child may still write, an incomplete last character waits.
    const bool final = child_gone_.load() || !has_process();
    const Shipment shipment = ship_new_log_bytes(final, options_.timings.join_limit);
    if (shipment.read == 0) {
      log::debug("No additional logs to send for action %s", id);
    } else if (shipment.sent > 0) {
      log::info("Sent %d bytes of final logs for action %s", shipment.sent, id);
    }
  } catch (const std::exception& e) {
    log::error("Error during final log flush for action %s: %s", id, e.what());
  }
}

}  // namespace tavoren
