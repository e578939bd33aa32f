// The state of every GPU, from its readings and its Xid events.

#include <algorithm>
#include <string>
#include <vector>

#include "tavoren/gpu_health.h"

namespace tavoren::gpu_health {
namespace {

using host_probe::GpuReading;

// The gravest fault the reading's signals show, and why.
std::pair<FaultClass, std::string> signal_fault(const GpuReading& r) {
  if (r.lost) return {FaultClass::kReboot, "the GPU is lost"};
  if (r.row_remap_failed.value_or(false)) return {FaultClass::kReboot, "row remapping failed"};
  if (r.ecc_uncorrected_volatile.value_or(0) > 0) {
    return {FaultClass::kReset,
            std::to_string(*r.ecc_uncorrected_volatile) + " uncorrectable ECC errors"};
  }
  if (r.pages_pending_retirement.value_or(false)) {
    return {FaultClass::kReset, "memory pages pending retirement"};
  }
  if (r.rows_pending_remap.value_or(0) > 0) {
    return {FaultClass::kReset, "memory rows pending remapping"};
  }
  return {FaultClass::kNone, ""};
}

}  // namespace

const char* gpu_state_name(GpuState state) {
  switch (state) {
    case GpuState::kHealthy:
      return "healthy";
    case GpuState::kQuarantined:
      return "quarantined";
    case GpuState::kUnknown:
      return "unknown";
  }
  return "unknown";
}

std::optional<HealthChange> HealthBook::settle(Gpu& gpu, GpuState before, FaultClass fault_before) {
  GpuStatus& status = gpu.status;
  const FaultClass fault = std::max(gpu.signal_fault, gpu.xid_fault);
  status.fault = fault;
  status.reason = gpu.signal_fault >= gpu.xid_fault ? gpu.signal_reason : gpu.xid_reason;
  if (fault >= FaultClass::kReset) {
    status.state = GpuState::kQuarantined;
  } else if (gpu.failed_reads >= unknown_after_) {
    status.state = GpuState::kUnknown;
    status.reason =
        "its health could not be read " + std::to_string(gpu.failed_reads) + " times in a row";
  } else {
    status.state = GpuState::kHealthy;
    status.reason.clear();
  }
  if (status.state == before && status.fault <= fault_before) return std::nullopt;
  return HealthChange{status.index, status.uuid,   before,     status.state,
                      status.fault, status.reason, status.lost};
}

HealthBook::Gpu* HealthBook::by_bus(const std::string& pci_bus_id) {
  for (auto& [index, gpu] : gpus_) {
    if (gpu.status.pci_bus_id == pci_bus_id) return &gpu;
  }
  return nullptr;
}

std::vector<HealthChange> HealthBook::observe(const std::vector<GpuReading>& readings) {
  std::vector<HealthChange> changes;
  std::set<int> seen;
  for (const GpuReading& reading : readings) {
    Gpu* gpu = nullptr;
    if (reading.index >= 0) {
      gpu = &gpus_[reading.index];
      gpu->status.index = reading.index;
      if (!reading.uuid.empty()) gpu->status.uuid = reading.uuid;
      if (!reading.pci_bus_id.empty()) gpu->status.pci_bus_id = reading.pci_bus_id;
    } else {
      gpu = by_bus(reading.pci_bus_id);  // a lost GPU named by its bus alone
      if (gpu == nullptr) continue;
    }
    seen.insert(gpu->status.index);
    const GpuState before = gpu->status.state;
    const FaultClass fault_before = gpu->status.fault;
    // A reset shows as the GPU coming back, or its volatile count of
    // uncorrectable errors falling.
    const long long ecc = reading.ecc_uncorrected_volatile.value_or(0);
    const bool reset_seen = (gpu->status.lost && !reading.lost) ||
                            (!reading.lost && gpu->last_ecc && *gpu->last_ecc > ecc);
    if (reset_seen && gpu->xid_fault == FaultClass::kReset) {
      gpu->xid_fault = FaultClass::kNone;
      gpu->xid_reason.clear();
    }
    if (!reading.lost) {
      gpu->last_ecc = ecc;
      gpu->status.reading = reading;
    }
    gpu->status.lost = reading.lost;
    gpu->failed_reads = 0;
    std::tie(gpu->signal_fault, gpu->signal_reason) = signal_fault(reading);
    if (auto change = settle(*gpu, before, fault_before)) changes.push_back(*change);
  }
  // A GPU that answered before and is no longer listed is lost.
  for (auto& [index, gpu] : gpus_) {
    if (seen.contains(index)) continue;
    const GpuState before = gpu.status.state;
    const FaultClass fault_before = gpu.status.fault;
    gpu.status.lost = true;
    gpu.signal_fault = FaultClass::kReboot;
    gpu.signal_reason = "the GPU is lost";
    if (auto change = settle(gpu, before, fault_before)) changes.push_back(*change);
  }
  // Events kept for GPUs no reading had named yet.
  std::vector<XidEvent> pending;
  pending.swap(pending_);
  for (const XidEvent& event : pending) {
    for (HealthChange& change : observe_xid(event)) changes.push_back(std::move(change));
  }
  return changes;
}

std::vector<HealthChange> HealthBook::observe_failure() {
  std::vector<HealthChange> changes;
  for (auto& [index, gpu] : gpus_) {
    const GpuState before = gpu.status.state;
    const FaultClass fault_before = gpu.status.fault;
    ++gpu.failed_reads;
    if (auto change = settle(gpu, before, fault_before)) changes.push_back(*change);
  }
  return changes;
}

std::vector<HealthChange> HealthBook::observe_xid(const XidEvent& event) {
  const FaultClass fault = classify_xid(event.xid, event.text);
  if (fault < FaultClass::kReset) return {};
  Gpu* gpu = by_bus(event.pci_bus_id);
  if (gpu == nullptr) {
    if (pending_.size() < 64) pending_.push_back(event);
    return {};
  }
  if (fault < gpu->xid_fault) return {};
  const GpuState before = gpu->status.state;
  const FaultClass fault_before = gpu->status.fault;
  gpu->xid_fault = fault;
  gpu->xid_reason = "Xid " + std::to_string(event.xid) + " (needs a " +
                    (fault == FaultClass::kReboot ? "reboot" : "reset") + ")";
  if (auto change = settle(*gpu, before, fault_before)) return {*change};
  return {};
}

std::vector<GpuStatus> HealthBook::gpus() const {
  std::vector<GpuStatus> all;
  for (const auto& [index, gpu] : gpus_) all.push_back(gpu.status);
  return all;
}

std::set<int> HealthBook::out_of_use() const {
  std::set<int> positions;
  for (const auto& [index, gpu] : gpus_) {
    if (gpu.status.state != GpuState::kHealthy) positions.insert(index);
  }
  return positions;
}

}  // namespace tavoren::gpu_health
