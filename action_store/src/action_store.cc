// The kept actions' file: a format line, then one JSON object per action,
// replaced as a whole through a new file renamed over the old one.
#include "tavoren/action_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "tavoren/common/files.h"
#include "tavoren/common/text.h"

namespace tavoren::action_store {
namespace {

constexpr std::string_view kFormatLine = R"({"format":"tavoren-kept-actions","version":1})";
// The new file's name is the file's own with this and a unique suffix.
constexpr std::string_view kPartialMark = ".partial-";

[[noreturn]] void fail(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

void write_all(int fd, std::string_view bytes, const std::string& path) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("cannot write " + path);
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

std::uint64_t unsigned_field(const Json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end()) return 0;
  if (!it->is_number_unsigned()) throw std::runtime_error(std::string(key) + " is no count");
  return it->get<std::uint64_t>();
}

std::string text_field(const Json& object, const char* key, bool required) {
  const auto it = object.find(key);
  if (it == object.end()) {
    if (required) throw std::runtime_error(std::string("no ") + key);
    return "";
  }
  if (!it->is_string()) throw std::runtime_error(std::string(key) + " is no text");
  return it->get<std::string>();
}

}  // namespace

std::string to_line(const KeptAction& action) {
  Json line = Json::object();
  line["action_id"] = action.action_id;
  line["record"] = action.record;
  line["log_path"] = action.log_path;
  line["cid_path"] = action.cid_path;
  line["container_id"] = action.container_id;
  line["shipped"] = action.shipped;
  line["scanned"] = action.scanned;
  if (!action.log_stream.empty()) line["log_stream"] = action.log_stream;
  if (action.sending > 0) line["sending"] = action.sending;
  line["started_at_ms"] = action.started_at_ms;
  line["client_pid"] = static_cast<std::int64_t>(action.client_pid);
  line["client_start"] = action.client_start;
  // Invalid UTF-8 in a record or path is replaced rather than refused.
  return line.dump(-1, ' ', false, Json::error_handler_t::replace);
}

KeptAction from_line(const std::string& line) {
  std::optional<Json> parsed = try_parse_json(line);
  if (!parsed) throw std::runtime_error("not a JSON text (cut short?)");
  if (!parsed->is_object()) throw std::runtime_error("not an object");
  const Json& object = *parsed;
  KeptAction action;
  action.action_id = text_field(object, "action_id", true);
  if (action.action_id.empty()) throw std::runtime_error("an empty action_id");
  const auto record = object.find("record");
  if (record == object.end() || !record->is_object()) {
    throw std::runtime_error("no action record");
  }
  action.record = *record;
  action.log_path = text_field(object, "log_path", true);
  action.cid_path = text_field(object, "cid_path", false);
  action.container_id = text_field(object, "container_id", false);
  action.shipped = unsigned_field(object, "shipped");
  action.scanned = unsigned_field(object, "scanned");
  action.log_stream = text_field(object, "log_stream", false);
  action.sending = unsigned_field(object, "sending");
  if (const auto it = object.find("started_at_ms"); it != object.end()) {
    if (!it->is_number_integer()) throw std::runtime_error("started_at_ms is no number");
    action.started_at_ms = it->get<std::int64_t>();
  }
  if (const auto it = object.find("client_pid"); it != object.end()) {
    if (!it->is_number_integer() || it->get<std::int64_t>() < 0) {
      throw std::runtime_error("client_pid is no process id");
    }
    action.client_pid = static_cast<pid_t>(it->get<std::int64_t>());
  }
  action.client_start = unsigned_field(object, "client_start");
  return action;
}

Store::Store(std::filesystem::path file) : file_(std::move(file)) {}

Recovery Store::load() {
  Recovery recovery;
  std::lock_guard lock(mutex_);
  actions_.clear();

  // Leftovers of writes that were cut off before their renaming.
  const std::filesystem::path folder =
      file_.has_parent_path() ? file_.parent_path() : std::filesystem::path(".");
  const std::string partial_prefix = file_.filename().string() + std::string(kPartialMark);
  std::error_code ec;
  if (std::filesystem::is_directory(folder, ec)) {
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      const std::string name = entry.path().filename().string();
      if (!starts_with(name, partial_prefix)) continue;
      recovery.problems.push_back("a write of " + file_.string() +
                                  " that did not finish was discarded (" + name + ")");
      std::filesystem::remove(entry.path(), ec);
    }
  }

  const std::optional<std::string> content = read_file_if_present(file_);
  if (!content || content->empty()) return recovery;
  std::size_t start = 0;
  int number = 0;
  while (start < content->size()) {
    std::size_t end = content->find('\n', start);
    const bool terminated = end != std::string::npos;
    if (!terminated) end = content->size();
    const std::string line = content->substr(start, end - start);
    start = end + 1;
    ++number;
    if (number == 1) {
      if (line != kFormatLine) {
        recovery.problems.push_back(file_.string() +
                                    " does not start with its format line; nothing in it was "
                                    "recovered");
        return recovery;
      }
      continue;
    }
    if (line.empty()) continue;
    try {
      KeptAction action = from_line(line);
      if (!terminated) throw std::runtime_error("cut short");
      std::erase_if(actions_, [&](const KeptAction& a) { return a.action_id == action.action_id; });
      actions_.push_back(std::move(action));
    } catch (const std::exception& e) {
      std::string shown = line.substr(0, 120);
      recovery.problems.push_back(
          "line " + std::to_string(number) + " of " + file_.string() + " could not be recovered (" +
          e.what() + "): " + std::string(trim(shown)) + (line.size() > shown.size() ? "..." : ""));
    }
  }
  recovery.actions = actions_;
  return recovery;
}

void Store::keep(const KeptAction& action) {
  std::lock_guard lock(mutex_);
  auto it = std::find_if(actions_.begin(), actions_.end(),
                         [&](const KeptAction& a) { return a.action_id == action.action_id; });
  if (it != actions_.end()) {
    *it = action;
  } else {
    actions_.push_back(action);
  }
  write(true);
}

void Store::record_progress(const std::string& action_id, std::uint64_t shipped,
                            std::uint64_t scanned) {
  std::lock_guard lock(mutex_);
  auto it = std::find_if(actions_.begin(), actions_.end(),
                         [&](const KeptAction& a) { return a.action_id == action_id; });
  if (it == actions_.end()) return;
  const std::uint64_t sending = it->sending > shipped ? it->sending : 0;
  if (it->shipped == shipped && it->scanned == scanned && it->sending == sending) return;
  it->shipped = shipped;
  it->scanned = scanned;
  it->sending = sending;
  write(false);
}

void Store::record_sending(const std::string& action_id, const std::string& stream,
                           std::uint64_t end) {
  std::lock_guard lock(mutex_);
  auto it = std::find_if(actions_.begin(), actions_.end(),
                         [&](const KeptAction& a) { return a.action_id == action_id; });
  if (it == actions_.end()) return;
  if (it->log_stream == stream && it->sending == end) return;
  it->log_stream = stream;
  it->sending = end;
  write(false);
}

void Store::record_container(const std::string& action_id, const std::string& container_id) {
  std::lock_guard lock(mutex_);
  auto it = std::find_if(actions_.begin(), actions_.end(),
                         [&](const KeptAction& a) { return a.action_id == action_id; });
  if (it == actions_.end() || it->container_id == container_id) return;
  it->container_id = container_id;
  write(true);
}

void Store::forget(const std::string& action_id) {
  std::lock_guard lock(mutex_);
  const auto removed =
      std::erase_if(actions_, [&](const KeptAction& a) { return a.action_id == action_id; });
  if (removed > 0) write(true);
}

std::vector<KeptAction> Store::actions() const {
  std::lock_guard lock(mutex_);
  return actions_;
}

std::optional<KeptAction> Store::find(const std::string& action_id) const {
  std::lock_guard lock(mutex_);
  for (const KeptAction& action : actions_) {
    if (action.action_id == action_id) return action;
  }
  return std::nullopt;
}

void Store::write(bool durable) {
  std::string content(kFormatLine);
  content += '\n';
  for (const KeptAction& action : actions_) {
    content += to_line(action);
    content += '\n';
  }
  const std::filesystem::path folder =
      file_.has_parent_path() ? file_.parent_path() : std::filesystem::path(".");
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  std::string partial = file_.string() + std::string(kPartialMark) + "XXXXXX";
  {
    Descriptor fd(::mkostemp(partial.data(), O_CLOEXEC));
    if (fd.get() < 0) fail("cannot create " + partial);
    try {
      write_all(fd.get(), content, partial);
      if (durable && ::fsync(fd.get()) != 0) fail("cannot flush " + partial);
    } catch (...) {
      ::unlink(partial.c_str());
      throw;
    }
  }
  if (::rename(partial.c_str(), file_.c_str()) != 0) {
    const int error = errno;
    ::unlink(partial.c_str());
    errno = error;
    fail("cannot replace " + file_.string());
  }
  if (durable) {
    Descriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());
  }
}

std::optional<std::uint64_t> process_start_time(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  const std::optional<std::string> stat =
      read_file_if_present("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return std::nullopt;
  // The command name (field 2) is in parentheses and may hold anything;
  // the fields after its last ')' are plain.
  const std::size_t close = stat->rfind(')');
  if (close == std::string::npos) return std::nullopt;
  const std::vector<std::string> fields =
      split_whitespace(std::string_view(*stat).substr(close + 1));
  // fields[0] is field 3 (the state), so field 22 is fields[19].
  if (fields.size() < 20) return std::nullopt;
  try {
    return static_cast<std::uint64_t>(parse_int(fields[19]));
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace tavoren::action_store
