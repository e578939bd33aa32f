// Internal helpers of the GPU and memory probes, shared with their tests.
#pragma once

#include <filesystem>

namespace tavoren::host_probe::detail {

// (MemTotal - MemAvailable) / MemTotal read from a meminfo file in the
// format of /proc/meminfo, as a percentage rounded to one decimal place and
// divided by 100. Throws when the file cannot be read or lacks either field.
double memory_usage_from_meminfo(const std::filesystem::path& meminfo);

}  // namespace tavoren::host_probe::detail
