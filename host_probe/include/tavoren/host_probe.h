// Host probes: stateless functions that inspect the instance.
//
// Every function asks the host anew (nothing is cached) by running host
// tools as child processes without a shell (`nvidia-smi`, `df`, `docker`,
// found through PATH), by reading /proc, or by short HTTP requests. Each
// runs under the agent's error policy (log_errors): unless stated, a failure
// is logged as "Error in <operation>: <what>" and the documented fallback
// value is returned instead of an exception. The functions under "Host
// tools of the start-up checks and work units" are the exception: they
// report failures to their callers as stated with each.
//
// Every host tool runs in its own process group under a time limit (see
// ToolLimits below). When the limit passes, the whole group is killed and
// the child reaped, one warning line "<tool> did not finish within <limit>;
// killed" is logged (for example "nvidia-smi did not finish within 30 s;
// killed"), and the call fails with ToolTimeoutError, which the calling
// function treats as any other failure of its tool (its fallback applies).
// Tools whose output is parsed run with LC_ALL=C added to the agent's
// environment.
//
// Output: no host tool writes to the agent's own standard output or error.
// What a tool prints that its caller does not read (the warnings of the
// container engine's tool, a login's "Login Succeeded", a prune's list) is
// passed to the agent's log through log_tool_output.
//
// Threads: no state but the process-wide time limits and the tool warnings
// seen so far, each guarded by a mutex; every function may be called from
// several threads at once. Environment variables are read on every call.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tavoren/common/errors.h"
#include "tavoren/common/logging.h"

namespace tavoren::host_probe {

// ---------------------------------------------------------------------------
// Time limits of the host tools.
//
// | Tool                                    | Field              | Default |
// |-----------------------------------------|--------------------|---------|
// | nvidia-smi (presence and every query)   | nvidia_smi         | 30 s    |
// | df                                      | df                 | 30 s    |
// | docker info                             | docker_info        | 30 s    |
// | docker ps                               | docker_ps          | 30 s    |
// | docker volume create                    | docker_volume      | 30 s    |
// | docker login                            | docker_login       | 120 s   |
// | docker image prune                      | docker_image_prune | 10 min  |
//
// The cloud metadata and public-address requests (instance identity below)
// are HTTP requests with their own limits of 1 to 10 s.
struct ToolLimits {
  std::chrono::milliseconds nvidia_smi{30'000};
  std::chrono::milliseconds df{30'000};
  std::chrono::milliseconds docker_info{30'000};
  std::chrono::milliseconds docker_ps{30'000};
  std::chrono::milliseconds docker_volume{30'000};
  std::chrono::milliseconds docker_login{120'000};
  std::chrono::milliseconds docker_image_prune{600'000};

  // Every tool's limit set to `limit`.
  static ToolLimits all(std::chrono::milliseconds limit);
  bool operator==(const ToolLimits&) const = default;
};

// The limits in force for the whole process (the defaults above until
// set_tool_limits is called). Safe from any thread; a call already running
// keeps the limit it started with.
ToolLimits tool_limits();
void set_tool_limits(const ToolLimits& limits);

// A host tool ran and failed: it exited non-zero (where the function says
// so) or did not finish within its limit.
class ToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A host tool did not finish within its limit and was killed with its
// whole process group. what(): "<tool> did not finish within <limit>".
class ToolTimeoutError : public ToolError {
 public:
  ToolTimeoutError(std::string tool, std::chrono::milliseconds limit);
  const std::string& tool() const { return tool_; }
  std::chrono::milliseconds limit() const { return limit_; }

 private:
  std::string tool_;
  std::chrono::milliseconds limit_;
};

// A limit as log lines show it: whole seconds as "30 s", else "250 ms".
std::string format_limit(std::chrono::milliseconds limit);

// Passes what `tool` ("docker info") printed, and its caller does not read,
// to the agent's log, one line per line of output (blank ones skipped), as
// "<tool>: <line>": each distinct line of its standard error (`err`: the
// engine tool's warnings, which it repeats at every run) as a warning the
// first time this process sees it, and at debug level afterwards; each
// line of its standard output (`out`) at debug level. Registered secrets
// are masked as in every log line. Remembers at most
// kRememberedToolWarnings distinct lines; beyond that, new ones are logged
// at debug level. Safe from any thread.
void log_tool_output(std::string_view tool, std::string_view out, std::string_view err);
inline constexpr std::size_t kRememberedToolWarnings = 1024;

// ---------------------------------------------------------------------------
// Instance identity and cloud metadata.

struct InstanceInfo {
  std::string provider;     // "GCP", "AZURE", "OCI", "AWS", "LOCAL" or SERVICE_PROVIDER
  std::string instance_id;  // trimmed; empty when no source gives one
  bool operator==(const InstanceInfo&) const = default;
};

// The provider name and instance identifier, from SERVICE_PROVIDER and
// INSTANCE_ID, overwritten by every cloud metadata service that answers
// (probed concurrently, applied in the order GCP, AZURE, OCI, AWS so the
// last answering provider wins). nullopt (not logged) when a metadata
// answer is not valid UTF-8 or anything else fails.
std::optional<InstanceInfo> get_instance_info();

// INSTANCE_ID; the empty text when unset.
std::string get_instance_id();

// Which addresses get_public_ip_address accepts.
enum class IpFamily { ipv4, any };

// The host's public address as the public-address echo service
// (config::public_ip_url()) reports it: the body of an HTTP 200 answer,
// without the blanks and line end around it, which must be an IPv4 address
// in dotted form or, with IpFamily::any, also an IPv6 address. Throws
// http::TransportError when no answer arrives within `timeout`, and
// ValueError for another status ("the public address service answered with
// status <n>"), a body that is not UTF-8, or one that is no such address
// ("... answered with no IPv4 address: '<first 64 characters>'", or "no IP
// address" with IpFamily::any). Not logged.
std::string get_public_ip_address(std::chrono::milliseconds timeout, IpFamily family);

// A cloud's notice that it takes the machine back.
struct InterruptionNotice {
  std::string provider;
  // "terminate", "stop", "hibernate" (AWS), "preempt" (GCP, Azure), or
  // "rebalance": AWS recommends moving work off, without a deadline yet.
  std::string action;
  // When, as the cloud writes it; empty when it gives no time.
  std::string deadline;
  // The cloud's own words (its answer, or the event's identifier).
  std::string detail;
  bool operator==(const InterruptionNotice&) const = default;
};

// Whether the machine is a spot or preemptible one of `provider` ("AWS":
// instance-life-cycle "spot"; "GCP": scheduling/preemptible "TRUE";
// "AZURE": compute/priority "Spot"; "OCI": a preemptible configuration),
// asked of the metadata services the identity probes use, each request cut
// at `limit`. False for any other provider and on any failure (logged).
bool is_spot_machine(const std::string& provider, std::chrono::milliseconds limit);

// Whether `provider`'s cloud posts its notice where the machine can read
// it: AWS, GCP and Azure do; Oracle Cloud tells only its Events service,
// outside the machine, so its preemptible machines go without warning.
bool gives_interruption_notice(const std::string& provider);

// The cloud's interruption notice now; nullopt when there is none. AWS:
// spot/instance-action (after an IMDSv2 token when the service gives one),
// else the rebalance recommendation; GCP: instance/preempted "TRUE"; Azure:
// a scheduled event of type "Preempt". Each request is cut at `limit`.
// Throws http::TransportError when the service does not answer.
std::optional<InterruptionNotice> read_interruption_notice(const std::string& provider,
                                                           std::chrono::milliseconds limit);

// Whether `port` answers on the instance's public address (learned from
// the public-address echo service) and can be bound locally. False on any
// failure.
bool check_public_port_exposure(int port);

// ---------------------------------------------------------------------------
// GPU and memory probes.

// The GPU selections found no GPU that fits (or no GPU information). The
// multi-GPU selection tells this apart from a failed nvidia-smi query.
class NoSuitableGpuError : public ValueError {
 public:
  using ValueError::ValueError;
};

// Whether `nvidia-smi` runs and exits 0 (its output goes to the agent's
// own streams). False otherwise: silently, except for the time-out line.
bool has_gpu();
// One unparsed CSV line per GPU; empty on failure.
std::vector<std::string> get_gpu_info();
// Used / total memory of the least-loaded GPU (0 to 1); 0 on failure.
double get_gpu_memory_usage();
// (MemTotal - MemAvailable) / MemTotal from /proc/meminfo, as a percentage
// to one decimal place divided by 100; 0 on failure.
double get_cpu_memory_usage();

// Main memory as a file in the format of /proc/meminfo reports it, in kB.
struct MemoryInfo {
  long long total_kb = 0;      // MemTotal
  long long available_kb = 0;  // MemAvailable
  bool operator==(const MemoryInfo&) const = default;
};
// Reads MemTotal and MemAvailable of `path`: the one reader of /proc/meminfo
// for every part of the agent. Unlike the probes above it does not log and
// throws: std::runtime_error "Cannot read <path>" when the file cannot be
// opened, "<path> lacks MemTotal or MemAvailable" when either line is
// missing, "<path> reports no memory" for a total of 0 or less; ValueError
// for a figure that is not a whole number.
MemoryInfo read_meminfo(const std::filesystem::path& path = "/proc/meminfo");
// GPU memory usage on GPU hosts, else main memory usage; 0 on failure.
double get_mem_usage();
// actionDetails.expectedResources.gpuMemory (MiB): a Json number as stored,
// a text holding one decimal number as that number; 0 when any key is
// missing or on failure (a value that is neither, logged).
Json get_required_gpu_memory(const Json& action_details);
// Whether GPUS (comma-separated positions) allows this GPU; true when GPUS
// is unset or empty, and true (logged) when it is malformed.
bool is_allowed_gpu_device(int gpu_index);
bool is_allowed_gpu_device(const std::string& gpu_index);
// Best fit: the allowed GPU (GPUS, and not out of use) with the least free
// memory that still fits.
// Throws NoSuitableGpuError (also when gpuMemory is present and neither
// null, a number nor a numeric text), or the nvidia-smi failure (logged first).
std::vector<int> get_single_gpu_with_sufficient_memory_for_action(const Json& action_details);
// Best fit for requirements under 80000 MiB, else (or when no single GPU
// fits) allowed GPUs in position order until their free memory suffices.
// Throws NoSuitableGpuError (also for a gpuMemory that is no number, as
// above), or the nvidia-smi failure (logged first).
std::vector<int> get_gpu_with_sufficient_memory_for_action(const Json& action_details);

// ---------------------------------------------------------------------------
// GPU readings: what each GPU is and how it fares.

// One GPU as nvidia-smi reads it. Figures it cannot measure are 0; signals
// the GPU or driver does not offer are nullopt.
struct GpuReading {
  int index = -1;  // -1 for a lost GPU nvidia-smi names by its bus alone
  std::string uuid;
  std::string name;
  std::string pci_bus_id;  // "00000000:3B:00.0" (pci_bus_key's form)
  double memory_total_mib = 0;
  double memory_used_mib = 0;
  double memory_free_mib = 0;
  double utilisation = 0;  // percent
  double temperature_c = 0;
  double power_draw_w = 0;
  double power_limit_w = 0;
  std::string ecc_mode;  // "Enabled", "Disabled"; empty when not offered
  std::string driver_version;
  std::optional<long long> ecc_uncorrected_volatile;
  std::optional<bool> pages_pending_retirement;
  std::optional<bool> hw_slowdown;
  std::optional<bool> thermal_slowdown;
  std::optional<long long> rows_pending_remap;
  std::optional<bool> row_remap_failed;
  // The GPU answers no more ("GPU is lost", or no device handle).
  bool lost = false;
  bool operator==(const GpuReading&) const = default;
};

// Every GPU of this host, from one "nvidia-smi --query-gpu=..." CSV query
// (and, where the driver offers it, one of row remapping), each cut at
// `limit`. Not under the error policy: throws ToolTimeoutError after the
// limit, ToolError when nvidia-smi lists no GPU, process::SpawnError when it
// cannot be started, ValueError for output it cannot read. A lost GPU is
// listed with lost set, also when the query fails because of it.
std::vector<GpuReading> read_gpu_readings(std::chrono::milliseconds limit);

// A PCI bus identifier in nvidia-smi's form ("00000000:3B:00.0"), from that
// form or the kernel's ("0000:3b:00").
std::string pci_bus_key(std::string_view bus_id);

// The GPUs taken out of use (quarantined, or of unknown health), by
// position: the GPU selections above never pick them. Process-wide; safe
// from any thread. Empty until the health monitor sets it.
void set_gpus_out_of_use(std::set<int> positions);
std::set<int> gpus_out_of_use();
bool is_gpu_out_of_use(int position);

// ---------------------------------------------------------------------------
// Disk and container storage.

// One data line of `df -h`, sizes in gigabytes (powers of 1024).
struct DiskUsage {
  std::string filesystem;
  double size = 0;
  double used = 0;
  double available = 0;
  double use_percentage = 0;
  std::string mounted_on;

  // The record as an ordered JSON object with the keys above, in order.
  Json to_json() const;
  bool operator==(const DiskUsage&) const = default;
};

// Whether `docker ps` lists at least one running container; false, silently,
// on failure.
bool is_docker_running();
// Runs `docker image prune -a -f`; a failure (non-zero exit, time-out) is
// logged and returns normally.
void prune_docker_images();
// "10G" -> 10.0, "1.5T" -> 1536.0, "512M" -> 0.5, "2P" -> 2097152.0, ...; 0.0
// on failure.
double _normalize_disk_usage_to_gb(const std::string& disk_space);
// nullopt on failure (fewer than six columns, unreadable percentage).
std::optional<DiskUsage> _parse_disk_usage_info(const std::string& line);
// Every parsable line of `df -h`; nullopt on failure. A df that exits
// non-zero but printed data rows (one unreadable mount among good ones)
// still gives those rows, after a warning.
std::optional<std::vector<DiskUsage>> get_disk_space_usage();
// The mount point with the most free space, or the workspace directory
// (home joined with WORKSPACE_DIR, created) when that is "/" or nothing
// qualifies; nullopt on failure or when WORKSPACE_DIR is needed but unset.
std::optional<std::string> get_max_file_system();
// The file system holding the container engine's data root (`docker
// info`, then `df -h <root>`, which counts as above when it exits
// non-zero); nullopt on failure.
std::optional<DiskUsage> get_docker_disk_space_usage();
// Prunes unused images when the engine's storage is at least 90% used or
// has at most 30 GB free.
void cleanup_docker_storage();

// ---------------------------------------------------------------------------
// Host tools of the start-up checks and work units. These run without the
// error policy: their failures reach the caller as stated.

// Whether "docker info" runs and exits 0 within its limit (its output is
// discarded). False when docker cannot be started, exits non-zero or times
// out (the time-out line is logged; nothing else is).
bool check_docker();

// Logs the container engine in to an image registry:
//   docker login --username <username> --password-stdin [<registry>]
// with the password on the login's standard input, never on a command line,
// and masked in the log while the login runs (a caller that keeps the
// password keeps it masked for as long as it needs). The login's own
// output goes to the agent's streams. An empty or absent registry means the
// engine's default one. Throws ValueError for a registry that starts with
// "-" (it would be read as an option), process::SpawnError when docker
// cannot be started, ToolError "docker login exited with status <n>" on a
// non-zero exit and ToolTimeoutError after its limit.
void login_to_registry(const std::string& username, const std::string& password,
                       const std::optional<std::string>& registry = std::nullopt);

// Runs "docker volume create <name>". Throws process::SpawnError when docker
// cannot be started, ToolError "docker volume create exited with status
// <n>[: <its standard error, trimmed>]" on a non-zero exit and
// ToolTimeoutError after its limit.
void create_docker_volume(const std::string& name);

// Each GPU's total memory in gigabytes (MiB / 1024), keyed by its position,
// from "nvidia-smi --query-gpu=memory.total --format=csv,noheader,nounits".
// Empty when nvidia-smi cannot be started, exits non-zero (no GPU) or times
// out (logged); throws ValueError when it prints a line that is not a
// number.
std::map<int, double> gpu_total_memory_gb();

// Free GPU memory summed over all GPUs (gigabytes) and their mean
// utilisation (percent), from "nvidia-smi
// --query-gpu=memory.free,utilization.gpu --format=csv,noheader,nounits";
// a field nvidia-smi cannot measure ("[N/A]") counts 0. Both 0 when
// nvidia-smi cannot be started, exits non-zero or times out (logged);
// throws ValueError for a line without exactly two fields.
struct GpuFigures {
  double free_gb = 0;
  double utilisation = 0;
  bool operator==(const GpuFigures&) const = default;
};
GpuFigures read_gpu_figures();

// ---------------------------------------------------------------------------
// Access-key encryption and time utilities.

struct KeyPair {
  std::string access_key;
  std::string secret_key;
  bool operator==(const KeyPair&) const = default;
};

// Each key encrypted with AES-GCM under the UTF-8 bytes of `encryption_key`
// (or TAVOREN_ENCRYPTION_KEY when empty; 16, 24 or 32 bytes), as Base64 of
// nonce (12) + ciphertext + tag (16). Without any key the inputs come back
// unchanged (with a warning). nullopt on failure.
std::optional<KeyPair> get_encrypted_access_key_pair(const std::string& access_key,
                                                     const std::string& secret_key,
                                                     const std::string& encryption_key = "");
// The inverse. nullopt when either member fails to decode or verify: a
// half-decrypted pair and unverified plaintext are never returned.
std::optional<KeyPair> get_decrypted_access_key_pair(const std::string& enc_access_key,
                                                     const std::string& enc_secret_key,
                                                     const std::string& encryption_key = "");
// Whole seconds from start to finish (truncated toward zero), with the
// timestamp rules of SERVICE_PROVIDER; 0, silently, on any failure.
long long calculate_time_difference(const std::string& start_time_str,
                                    const std::string& finish_time_str);

}  // namespace tavoren::host_probe
