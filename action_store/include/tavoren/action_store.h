// What the agent keeps across its own restart: one record per running
// action, in one file of the agent's state folder.
//
// A record is written when the action's command is launched, rewritten at
// each shipment of its log (the shipped offset and the out-of-memory scan
// position move on), and removed once the action's end has been recorded
// at the backend. An agent that starts and finds records re-adopts their
// actions (see JobDispatcher::readopt): a container that still runs gets
// its work unit back, one that ended meanwhile gets the rest of its log
// and its exit status shipped.
//
// Resuming the log without loss or duplication. The log file holds what
// the `docker run` client wrote; `shipped` says how much of it reached the
// backend. When the new agent starts, the client is either dead (systemd
// kills what is left of the unit) or still running (the agent alone was
// killed). A surviving client is ended first (SIGKILL, after checking that
// the process at client_pid still started at client_start), since two
// writers of one file cannot agree; the container does not notice, as the
// client forwards no SIGKILL. From then on the file is completed from the
// engine's own log of the container: the engine keeps exactly the bytes it
// handed the client, as a sequence of timestamped entries. The file
// starts with the client's own lines (the image pull's progress, the
// engine's warnings), which the engine's log lacks; the container's output
// begins where the file and the engine's log start to agree. From there,
// the bytes already in the file are counted off the front of the engine's
// log (the file's size, not its content: the client may have died with
// bytes it had received but not yet written, and the engine may not yet
// have stored bytes it already handed the client, so neither side's end is
// a line or a time), and everything after them is appended to the file.
// Later reads start shortly before the last entries' time and count off
// the bytes taken from there, so nothing is appended twice. The shipper
// then ships the file from `shipped` as before: no byte is lost or sent
// twice. A piece whose acceptance by the backend and the following write
// of its offset here were separated by the agent's death is sent again,
// but as a repeat the backend recognises: before each piece is sent, its
// range is kept here (`sending`, with the log's stream identifier), and the
// new agent sends exactly that range first, under the same stream; the
// backend acknowledges a range of the stream it stored before without
// storing it again. This needs the engine to keep the container's whole log (the
// default json-file driver without rotation); with rotation the count is
// off by what was rotated away, which is reported at the container's end.
//
// The file: a first line naming the format, then one JSON object per line
// and action. It is replaced as a whole at every change (a new file,
// renamed over the old one), so a reader sees the old or the new content,
// never a mix; records that start or end an action are flushed to the
// disk first, shipment progress is not (it matters after a crash of the
// agent, which the page cache survives; after a crash of the machine the
// containers are gone too). A file damaged all the same (a torn line, a
// line that is no record) is read as far as it can be: every record that
// reads whole is kept, and each line that does not is named in
// Recovery::problems. Leftovers of writes that never finished (the new
// file before its renaming) are removed and named there too.
//
// Ownership: a Store owns its in-memory copy and the file.
// Threads: every member may be called from any thread; one lock guards
// the copy and the writes.
// Failures: load() reports what it could not read instead of throwing,
// except when the folder cannot be read at all (std::system_error).
// keep(), record_progress(), record_sending() and forget() throw std::system_error when the
// file cannot be written; the in-memory copy is changed all the same, so
// the next write carries the change.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tavoren/common/json.h"

namespace tavoren::action_store {

// One running action, as the agent keeps it.
struct KeptAction {
  // The action identifier.
  std::string action_id;
  // The action record the backend assigned.
  Json record = Json::object();
  // The action's log file (as the work unit named it).
  std::string log_path;
  // Where the `docker run` client writes its container's id; the container
  // id itself, once known (empty before).
  std::string cid_path;
  std::string container_id;
  // Bytes of the log file that reached the backend.
  std::uint64_t shipped = 0;
  // Bytes of the log file scanned for the out-of-memory marker.
  std::uint64_t scanned = 0;
  // The log's stream identifier ("" before the first piece was sent), and
  // the end of the piece being sent, which starts at `shipped` (0: none).
  std::string log_stream;
  std::uint64_t sending = 0;
  // When the action was started, in milliseconds since the epoch.
  std::int64_t started_at_ms = 0;
  // The `docker run` client: its process id and its start time (clock
  // ticks after boot, /proc/<pid>/stat), 0 when unknown.
  pid_t client_pid = 0;
  std::uint64_t client_start = 0;

  bool operator==(const KeptAction&) const = default;
};

// What load() found.
struct Recovery {
  std::vector<KeptAction> actions;
  // One line per thing that could not be recovered, for the agent's log.
  std::vector<std::string> problems;
};

// The record as one line of the file (without the newline), and back.
// from_line throws std::runtime_error saying what is wrong with the line.
std::string to_line(const KeptAction& action);
KeptAction from_line(const std::string& line);

class Store {
 public:
  // The file need not exist yet; its folder is created on the first write.
  explicit Store(std::filesystem::path file);
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  const std::filesystem::path& file() const { return file_; }

  // Reads the file into the store (replacing what it held) and removes
  // leftovers of unfinished writes. A missing file is an empty store.
  Recovery load();
  // Adds or replaces the action's record; flushed to the disk.
  void keep(const KeptAction& action);
  // Moves the action's log positions on; a piece in flight that ends at or
  // before `shipped` is over. Nothing for an action not kept.
  void record_progress(const std::string& action_id, std::uint64_t shipped, std::uint64_t scanned);
  // Keeps the log's stream identifier and the end of the piece about to be
  // sent (from the shipped offset). Not flushed, like the progress; nothing
  // when unchanged or for an action not kept.
  void record_sending(const std::string& action_id, const std::string& stream, std::uint64_t end);
  // Sets the action's container id; nothing for an action not kept.
  void record_container(const std::string& action_id, const std::string& container_id);
  // Removes the action's record (nothing when it is not kept); flushed.
  void forget(const std::string& action_id);

  std::vector<KeptAction> actions() const;
  std::optional<KeptAction> find(const std::string& action_id) const;

 private:
  // Replaces the file with the store's records; `durable` flushes it and
  // the folder to the disk. Called with the lock held.
  void write(bool durable);

  const std::filesystem::path file_;
  mutable std::mutex mutex_;
  // In the order the actions were kept.
  std::vector<KeptAction> actions_;
};

// The start time of process `pid` (clock ticks after boot, field 22 of
// /proc/<pid>/stat); nullopt when there is no such process.
std::optional<std::uint64_t> process_start_time(pid_t pid);

}  // namespace tavoren::action_store
