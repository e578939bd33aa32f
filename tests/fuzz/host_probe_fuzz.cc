// Readers of host tools' output: df lines and sizes, nvidia-smi memory
// listings and the data root in `docker info`. Each either reads a value
// that agrees with the text or refuses it with an error of the agent's
// own; nothing else may escape, and nothing may crash.
#include <cmath>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "gpu_memory_internal.h"
#include "host_tools_internal.h"
#include "tavoren/common/text.h"
#include "tavoren/host_probe.h"

using namespace tavoren;
using namespace tavoren::host_probe;

namespace {

// The same number, NaN included.
bool same(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0 || a == b; }

void check_sizes(const std::string& number) {
  const double gigabytes = _normalize_disk_usage_to_gb(number + "G");
  // Where the number reads at all, each suffix scales it by powers of 1024.
  if (gigabytes != 0.0 && !std::isnan(gigabytes)) {
    FUZZ_CHECK(same(_normalize_disk_usage_to_gb(number + "T"), gigabytes * 1024));
    FUZZ_CHECK(same(_normalize_disk_usage_to_gb(number + "M"), gigabytes / 1024));
    FUZZ_CHECK(same(_normalize_disk_usage_to_gb(number + "P"), gigabytes * 1024 * 1024));
  }
}

void check_df_line(const std::string& line) {
  const std::optional<DiskUsage> usage = _parse_disk_usage_info(line);
  if (!usage) return;
  const std::vector<std::string> tokens = split_whitespace(line);
  FUZZ_CHECK(tokens.size() >= 6);
  FUZZ_CHECK(usage->filesystem == tokens[0]);
  FUZZ_CHECK(same(usage->size, _normalize_disk_usage_to_gb(tokens[1])));
  FUZZ_CHECK(same(usage->used, _normalize_disk_usage_to_gb(tokens[2])));
  FUZZ_CHECK(same(usage->available, _normalize_disk_usage_to_gb(tokens[3])));
  FUZZ_CHECK(!usage->mounted_on.empty());
  FUZZ_CHECK(usage->mounted_on == trim(usage->mounted_on));
  FUZZ_CHECK(line.find(usage->mounted_on) != std::string::npos);
  FUZZ_CHECK(usage->to_json().size() == 6);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::silence_logging();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(fuzz::as_text(data, size));

  const std::vector<std::string> lines = fuzz::pieces(text, '\n');
  check_sizes(lines.front());
  for (const std::string& line : lines) check_df_line(line);

  try {
    const std::vector<long long> free_mib = detail::parse_free_memory(text);
    // One value per line between the header and the final newline.
    FUZZ_CHECK(free_mib.size() == lines.size() - 2);
  } catch (const std::runtime_error&) {
  }

  try {
    // Every line names a GPU with memory, so the least share is a number.
    FUZZ_CHECK(std::isfinite(detail::parse_memory_usage(text)));
  } catch (const std::runtime_error&) {
  }

  try {
    if (const std::optional<std::string> root = detail::docker_root_dir(text)) {
      FUZZ_CHECK(root->find(':') == std::string::npos);
      FUZZ_CHECK(*root == trim(*root));
      FUZZ_CHECK(text.find(*root) != std::string::npos);
    } else {
      for (const std::string& line : lines) FUZZ_CHECK(!starts_with(trim(line), "Docker Root Dir"));
    }
  } catch (const std::runtime_error&) {
  }
  return 0;
}
