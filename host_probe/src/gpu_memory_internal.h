// Internal helpers of the GPU and memory probes, shared with their tests.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "tavoren/host_probe.h"

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

// The GPUs of the reading query's output (see read_gpu_readings): one CSV
// line of its fields per GPU, and nvidia-smi's "Unable to determine the
// device handle for GPU<bus id>: ..." for a GPU it cannot reach (read as a
// lost GPU of index -1). A line with "GPU is lost" in its fields is a lost
// GPU of its index. Throws ValueError for a line of another form.
std::vector<GpuReading> parse_gpu_readings(const std::string& output);

// Adds the row-remapping fields of "nvidia-smi --query-remapped-rows=
// gpu_uuid,remapped_rows.pending,remapped_rows.failure" to the readings of
// the same UUIDs. Throws ValueError for a line of another form.
void apply_remapped_rows(const std::string& output, std::vector<GpuReading>& readings);

}  // namespace tavoren::host_probe::detail
