// What each GPU is and how it fares, read through nvidia-smi's CSV
// queries, and the GPUs the health monitor has taken out of use.

#include <algorithm>
#include <cctype>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "gpu_memory_internal.h"
#include "host_tools_internal.h"
#include "tavoren/common/errors.h"
#include "tavoren/common/text.h"
#include "tavoren/common/utf8.h"
#include "tavoren/host_probe.h"

namespace tavoren::host_probe {
namespace {

using detail::kNvidiaSmi;

// The fields of the reading query, in the order parse_gpu_readings reads.
constexpr const char* kReadingFields =
    "--query-gpu=index,uuid,name,pci.bus_id,memory.total,memory.used,memory.free,"
    "utilization.gpu,temperature.gpu,power.draw,power.limit,ecc.mode.current,driver_version,"
    "ecc.errors.uncorrected.volatile.total,retired_pages.pending,"
    "clocks_throttle_reasons.hw_slowdown,clocks_throttle_reasons.hw_thermal_slowdown";
constexpr std::size_t kReadingFieldCount = 17;

// A field nvidia-smi could not give: "[N/A]", "[Not Supported]", "N/A".
bool not_given(const std::string& field) {
  return field.empty() || field.starts_with("[") || field == "N/A";
}

bool says_lost(std::string_view text) {
  return text.find("GPU is lost") != std::string_view::npos ||
         text.find("Unable to determine the device handle") != std::string_view::npos;
}

double number_or_zero(const std::string& field) {
  return not_given(field) ? 0.0 : parse_double(field);
}

std::optional<long long> count_field(const std::string& field) {
  if (not_given(field)) return std::nullopt;
  return parse_int(field);
}

// "Yes"/"No", "Active"/"Not Active".
std::optional<bool> flag_field(const std::string& field) {
  if (not_given(field)) return std::nullopt;
  if (field == "Yes" || field == "Active") return true;
  if (field == "No" || field == "Not Active") return false;
  throw ValueError("Unexpected flag \"" + field + "\" in nvidia-smi output");
}

// The PCI bus identifier in nvidia-smi's own form, upper-case hex with the
// 8-digit domain ("00000000:3B:00.0"), from either that form or the
// kernel's ("0000:3b:00").
std::string normal_bus_id(std::string_view id) {
  std::string text = trim(id);
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  const std::size_t colon = text.find(':');
  if (colon != std::string::npos && colon < 8) text.insert(0, 8 - colon, '0');
  if (text.find('.') == std::string::npos) text += ".0";
  return text;
}

}  // namespace

std::string pci_bus_key(std::string_view bus_id) { return normal_bus_id(bus_id); }

namespace detail {

std::vector<GpuReading> parse_gpu_readings(const std::string& output) {
  std::vector<GpuReading> readings;
  for (const std::string& raw : split(output, '\n')) {
    const std::string line = trim(raw);
    if (line.empty()) continue;
    if (line.starts_with("Unable to determine the device handle")) {
      // "Unable to determine the device handle for GPU0000:3B:00.0: Unknown Error"
      GpuReading lost;
      lost.lost = true;
      const std::size_t at = line.find("GPU", line.find(" for "));
      if (at != std::string::npos) {
        const std::string rest = line.substr(at + 3);
        lost.pci_bus_id = normal_bus_id(rest.substr(0, rest.find(": ")));
      }
      lost.index = -1;
      readings.push_back(std::move(lost));
      continue;
    }
    std::vector<std::string> fields = split(line, ',');
    for (std::string& field : fields) field = trim(field);
    if (fields.size() != kReadingFieldCount) {
      throw ValueError("Expected " + std::to_string(kReadingFieldCount) +
                       " fields in nvidia-smi line: " + line);
    }
    GpuReading r;
    r.index = static_cast<int>(parse_int(fields[0]));
    r.uuid = fields[1];
    r.name = fields[2];
    r.pci_bus_id = not_given(fields[3]) ? "" : normal_bus_id(fields[3]);
    r.lost = says_lost(line);
    if (!r.lost) {
      r.memory_total_mib = number_or_zero(fields[4]);
      r.memory_used_mib = number_or_zero(fields[5]);
      r.memory_free_mib = number_or_zero(fields[6]);
      r.utilisation = number_or_zero(fields[7]);
      r.temperature_c = number_or_zero(fields[8]);
      r.power_draw_w = number_or_zero(fields[9]);
      r.power_limit_w = number_or_zero(fields[10]);
      r.ecc_mode = not_given(fields[11]) ? "" : fields[11];
      r.driver_version = not_given(fields[12]) ? "" : fields[12];
      r.ecc_uncorrected_volatile = count_field(fields[13]);
      r.pages_pending_retirement = flag_field(fields[14]);
      r.hw_slowdown = flag_field(fields[15]);
      r.thermal_slowdown = flag_field(fields[16]);
    }
    readings.push_back(std::move(r));
  }
  return readings;
}

void apply_remapped_rows(const std::string& output, std::vector<GpuReading>& readings) {
  for (const std::string& raw : split(output, '\n')) {
    const std::string line = trim(raw);
    if (line.empty()) continue;
    std::vector<std::string> fields = split(line, ',');
    for (std::string& field : fields) field = trim(field);
    if (fields.size() != 3) {
      throw ValueError("Expected a UUID, pending rows and a failure flag in nvidia-smi line: " +
                       line);
    }
    for (GpuReading& reading : readings) {
      if (reading.uuid != fields[0] || reading.lost) continue;
      reading.rows_pending_remap = count_field(fields[1]);
      reading.row_remap_failed = flag_field(fields[2]);
    }
  }
}

}  // namespace detail

std::vector<GpuReading> read_gpu_readings(std::chrono::milliseconds limit) {
  const process::RunResult result =
      detail::run_tool({kNvidiaSmi, kReadingFields, "--format=csv,noheader,nounits"}, kNvidiaSmi,
                       limit, {.capture_stderr = true});
  // A lost GPU makes the query fail while the others are still listed.
  const std::string output = result.out + result.err;
  if (!is_valid_utf8(output)) throw ValueError("nvidia-smi printed invalid UTF-8");
  std::vector<GpuReading> readings = detail::parse_gpu_readings(output);
  if (readings.empty()) {
    throw ToolError("nvidia-smi listed no GPU (exit status " +
                    std::to_string(result.exit_status.returncode()) + ")");
  }
  // Row remapping is offered by newer GPUs and drivers only: its absence,
  // or a failure of its query, leaves those fields unknown.
  try {
    const process::RunResult rows = detail::run_tool(
        {kNvidiaSmi, "--query-remapped-rows=gpu_uuid,remapped_rows.pending,remapped_rows.failure",
         "--format=csv,noheader,nounits"},
        kNvidiaSmi, limit);
    if (rows.exit_status.success() && is_valid_utf8(rows.out)) {
      detail::apply_remapped_rows(rows.out, readings);
    }
  } catch (const ValueError&) {
  } catch (const ToolError&) {
  } catch (const process::SpawnError&) {
  }
  return readings;
}

namespace {

struct OutOfUse {
  std::mutex mutex;
  std::set<int> positions;
};

OutOfUse& out_of_use() {
  static OutOfUse board;
  return board;
}

}  // namespace

void set_gpus_out_of_use(std::set<int> positions) {
  OutOfUse& board = out_of_use();
  std::scoped_lock lock(board.mutex);
  board.positions = std::move(positions);
}

std::set<int> gpus_out_of_use() {
  OutOfUse& board = out_of_use();
  std::scoped_lock lock(board.mutex);
  return board.positions;
}

bool is_gpu_out_of_use(int position) {
  OutOfUse& board = out_of_use();
  std::scoped_lock lock(board.mutex);
  return board.positions.contains(position);
}

}  // namespace tavoren::host_probe
