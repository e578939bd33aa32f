// The health of this machine's GPUs: which GPU has failed, why, and whether
// it may take new work; and the watcher of a spot machine's interruption
// notice (NoticeWatcher, at the end).
//
// Two sources feed it: nvidia-smi's readings (host_probe::read_gpu_readings:
// uncorrectable ECC errors, pages pending retirement, rows pending
// remapping or failed to remap, throttling, a GPU that answers no more), and
// the kernel's log, whose "NVRM: Xid" lines report the driver's fault
// events. Each Xid is sorted by NVIDIA's catalogue into a class:
//   - the application's own fault (13, 31, 43, 45): logged, nothing more;
//   - needs a reset (48, 61, 62, 63, 64, 74, 79, 92, 94, 95, 119, 120):
//     the GPU is quarantined until a reset is seen (it went away and came
//     back, or its volatile uncorrectable ECC count read 0 after it read
//     more), or until the machine reboots;
//   - needs a reboot (an event that says so): quarantined until the machine
//     reboots (the agent then starts on a fresh kernel log).
// Other Xids are logged only.
//
// A quarantined GPU, and one whose health could not be read three times in
// a row (unknown), takes no new work: the monitor publishes them through
// host_probe::set_gpus_out_of_use, which the GPU selections honour. A fault
// seen in the readings (not an Xid) lifts as soon as a reading shows it
// cleared: pending pages once remapped count as cleared.
//
// Threads: a HealthBook is not synchronised (the monitor owns one); a
// HealthMonitor's methods may be called from any thread. Time limits: every
// reading is cut at MonitorOptions::probe_limit; the kernel log is read
// without blocking.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tavoren/host_probe.h"

namespace tavoren::gpu_health {

// How grave a fault is: what it takes to clear.
enum class FaultClass {
  kNone,
  kApplication,  // the job's own fault: no action
  kReset,        // the GPU needs a reset
  kReboot,       // the machine needs a reboot (a lost GPU too)
};
// "none", "application", "reset", "reboot".
const char* fault_class_name(FaultClass fault);

// The class of Xid `xid`, with its event text (a text that asks for a
// reboot puts any Xid in the reboot class). kNone for an Xid of no class.
FaultClass classify_xid(int xid, std::string_view text = {});

// One "NVRM: Xid" event of the kernel's log.
struct XidEvent {
  std::string pci_bus_id;  // host_probe::pci_bus_key's form
  int xid = 0;
  std::string text;  // the event's words after the number, for the log
  bool operator==(const XidEvent&) const = default;
};
// The event of one kernel log record or line ("6,1234,56789,-;NVRM: Xid
// (PCI:0000:3b:00): 79, pid=..., GPU has fallen off the bus."); nullopt
// for any other line.
std::optional<XidEvent> parse_xid_line(std::string_view line);

// The kernel's log, read as it grows, without blocking: /dev/kmsg (one
// record per read, from the oldest the kernel still holds), or a plain
// file of lines (a stand-in for tests, read from its start and then as
// lines are appended). A log that cannot be opened (no permission, absent)
// reads as empty, and is said so once in the agent's log.
class KernelLogFeed {
 public:
  explicit KernelLogFeed(std::filesystem::path path);
  ~KernelLogFeed();
  KernelLogFeed(const KernelLogFeed&) = delete;
  KernelLogFeed& operator=(const KernelLogFeed&) = delete;

  // The lines added since the last call (at most `max_lines`).
  std::vector<std::string> read_new(std::size_t max_lines = 4096);
  bool is_open() const { return fd_ >= 0; }

 private:
  std::filesystem::path path_;
  int fd_ = -1;
  bool is_device_ = false;
  std::string partial_;
};

enum class GpuState {
  kHealthy,
  kQuarantined,  // a fault of the reset or reboot class
  kUnknown,      // its health could not be read three times in a row
};
// "healthy", "quarantined", "unknown".
const char* gpu_state_name(GpuState state);

struct GpuStatus {
  int index = -1;
  std::string uuid;
  std::string pci_bus_id;
  GpuState state = GpuState::kHealthy;
  FaultClass fault = FaultClass::kNone;
  std::string reason;  // why it is not healthy; empty when it is
  bool lost = false;
  // The latest reading that answered (figures and signals).
  std::optional<host_probe::GpuReading> reading;
  bool operator==(const GpuStatus&) const = default;
};

// A GPU's state changed, or it gained a graver fault.
struct HealthChange {
  int index = -1;
  std::string uuid;
  GpuState from = GpuState::kHealthy;
  GpuState to = GpuState::kHealthy;
  FaultClass fault = FaultClass::kNone;
  std::string reason;
  bool lost = false;
};

// A change as the machine's report shows it: when (Unix seconds), and what.
struct HealthEvent {
  std::int64_t at = 0;
  HealthChange change;
};

// The state of every GPU, as the readings and Xid events observed so far
// make it.
class HealthBook {
 public:
  explicit HealthBook(int unknown_after = 3) : unknown_after_(unknown_after) {}

  // A reading of every GPU that answered.
  std::vector<HealthChange> observe(const std::vector<host_probe::GpuReading>& readings);
  // A reading that failed altogether (nvidia-smi hung, failed, or printed
  // what cannot be read).
  std::vector<HealthChange> observe_failure();
  // An Xid event. An event for a GPU no reading has named yet is kept
  // until one does.
  std::vector<HealthChange> observe_xid(const XidEvent& event);

  std::vector<GpuStatus> gpus() const;
  // The positions of the GPUs that take no new work.
  std::set<int> out_of_use() const;

 private:
  struct Gpu {
    GpuStatus status;
    FaultClass signal_fault = FaultClass::kNone;
    std::string signal_reason;
    FaultClass xid_fault = FaultClass::kNone;
    std::string xid_reason;
    int failed_reads = 0;
    std::optional<long long> last_ecc;
  };
  // Derives the status from the faults, and the change it made (if any).
  std::optional<HealthChange> settle(Gpu& gpu, GpuState before, FaultClass fault_before);
  Gpu* by_bus(const std::string& pci_bus_id);

  int unknown_after_;
  std::map<int, Gpu> gpus_;  // by position
  std::vector<XidEvent> pending_;
};

struct MonitorOptions {
  // How often the GPUs' health is read: a fault is acted on within two
  // periods.
  std::chrono::milliseconds period{std::chrono::seconds(5)};
  // The limit of each health reading.
  std::chrono::milliseconds probe_limit{std::chrono::seconds(5)};
  int unknown_after = 3;
  // The readings; empty: host_probe::read_gpu_readings(probe_limit).
  std::function<std::vector<host_probe::GpuReading>()> read;
  std::filesystem::path kernel_log = "/dev/kmsg";
  // Whether the machine has GPUs to read; without, only the reports run.
  bool gpus = true;
  // Told of every change, on the monitor's thread; what it throws is
  // logged and the monitor goes on.
  std::function<void(const HealthChange&)> on_change;
  // The machine's report of what it has: called with the GPUs' states and
  // the latest health changes (at most kKeptEvents, oldest first) at the
  // first round, at every round that changed a GPU's state, and otherwise
  // every report_period, on the monitor's thread; what it throws is logged
  // and the monitor goes on.
  std::chrono::milliseconds report_period{std::chrono::seconds(60)};
  std::function<void(const std::vector<GpuStatus>&, const std::vector<HealthEvent>&)> report;
};

// Reads the GPUs' health on a thread of its own, so that no other loop's
// waits delay it, and publishes the GPUs out of use. A failure of a
// reading or of on_change never stops it.
class HealthMonitor {
 public:
  static constexpr std::size_t kKeptEvents = 20;
  explicit HealthMonitor(MonitorOptions options);
  // Stops the thread (waits for a reading in progress, at most its limit).
  ~HealthMonitor();
  HealthMonitor(const HealthMonitor&) = delete;
  HealthMonitor& operator=(const HealthMonitor&) = delete;

  void start();
  void stop();
  // One round now, on the calling thread (the thread's rounds call it).
  void check_once();
  std::vector<GpuStatus> gpus() const;

 private:
  void run();

  MonitorOptions options_;
  KernelLogFeed kernel_log_;
  // Rounds take turns under round_mutex_ (which also guards kernel_log_
  // and last_report_); mutex_ guards book_ and events_, never across I/O.
  std::mutex round_mutex_;
  mutable std::mutex mutex_;
  HealthBook book_;
  std::vector<HealthEvent> events_;
  std::mutex wake_mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::optional<std::chrono::steady_clock::time_point> last_report_;
  std::thread thread_;
};

struct NoticeOptions {
  // The cloud's notice now, nullopt when none (host_probe::
  // read_interruption_notice, each request cut at 1 s); what it throws is
  // logged at debug and the next poll goes on.
  std::function<std::optional<host_probe::InterruptionNotice>()> read;
  std::chrono::milliseconds period{std::chrono::seconds(2)};
  // Called once, on the watcher's thread, for the first notice that takes
  // the machine (any action but "rebalance", which is logged only).
  std::function<void(const host_probe::InterruptionNotice&)> on_notice;
};

// Polls a spot machine's interruption notice on a thread of its own, so
// that no reading of the GPUs and no other loop delays it.
class NoticeWatcher {
 public:
  explicit NoticeWatcher(NoticeOptions options);
  ~NoticeWatcher();
  NoticeWatcher(const NoticeWatcher&) = delete;
  NoticeWatcher& operator=(const NoticeWatcher&) = delete;

  void start();
  void stop();
  // One poll now, on the calling thread; true once a notice was acted on.
  bool poll_once();

 private:
  NoticeOptions options_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  bool acted_ = false;
  bool rebalance_logged_ = false;
  std::thread thread_;
};

}  // namespace tavoren::gpu_health
