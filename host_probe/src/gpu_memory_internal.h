// Internal helpers of the GPU and memory probes, shared with their tests.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tavoren::host_probe::detail {

// (MemTotal - MemAvailable) / MemTotal read from a meminfo file in the
// format of /proc/meminfo, as a percentage rounded to one decimal place and
// divided by 100. Throws when the file cannot be read or lacks either field.
double memory_usage_from_meminfo(const std::filesystem::path& meminfo);

// Free memory (MiB) of every GPU, in position order, from the output of
// "nvidia-smi --query-gpu=memory.free --format=csv": a header line, one
// line per GPU such as "24576 MiB", and a final newline. Throws
// NoSuitableGpuError without even a header, ValueError or
// std::runtime_error on a line it cannot read.
std::vector<long long> parse_free_memory(const std::string& output);

// The least used/total ratio over the lines "<used>, <total>" of
// "nvidia-smi --query-gpu=memory.used,memory.total
// --format=csv,nounits,noheader" (infinity for no line at all). Throws
// ValueError on a line it cannot read or a GPU without memory.
double parse_memory_usage(const std::string& output);

}  // namespace tavoren::host_probe::detail
