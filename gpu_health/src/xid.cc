// Xid events of the kernel's log, and their classes.

#include <charconv>
#include <string>
#include <string_view>

#include "tavoren/gpu_health.h"

namespace tavoren::gpu_health {

const char* fault_class_name(FaultClass fault) {
  switch (fault) {
    case FaultClass::kNone:
      return "none";
    case FaultClass::kApplication:
      return "application";
    case FaultClass::kReset:
      return "reset";
    case FaultClass::kReboot:
      return "reboot";
  }
  return "none";
}

FaultClass classify_xid(int xid, std::string_view text) {
  if (text.find("Reboot Required") != std::string_view::npos ||
      text.find("reboot required") != std::string_view::npos) {
    return FaultClass::kReboot;
  }
  switch (xid) {
    case 13:  // graphics engine exception
    case 31:  // memory page fault
    case 43:  // the GPU stopped processing (the application's channel)
    case 45:  // preemptive clean-up after the application ended
      return FaultClass::kApplication;
    case 48:   // double-bit ECC error
    case 61:   // internal micro-controller breakpoint
    case 62:   // internal micro-controller halt
    case 63:   // ECC page retirement or row remapping recorded
    case 64:   // ECC page retirement or row remapping failed to record
    case 74:   // NVLink error
    case 79:   // fallen off the bus
    case 92:   // high single-bit ECC error rate
    case 94:   // contained ECC error
    case 95:   // uncontained ECC error
    case 119:  // GSP RPC timeout
    case 120:  // GSP error
      return FaultClass::kReset;
    default:
      return FaultClass::kNone;
  }
}

std::optional<XidEvent> parse_xid_line(std::string_view line) {
  constexpr std::string_view kMarker = "NVRM: Xid (PCI:";
  const std::size_t at = line.find(kMarker);
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view rest = line.substr(at + kMarker.size());
  const std::size_t close = rest.find(')');
  if (close == std::string_view::npos) return std::nullopt;
  XidEvent event;
  event.pci_bus_id = host_probe::pci_bus_key(rest.substr(0, close));
  rest = rest.substr(close + 1);
  if (!rest.starts_with(": ")) return std::nullopt;
  rest.remove_prefix(2);
  const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), event.xid);
  if (error != std::errc() || event.xid <= 0) return std::nullopt;
  rest = rest.substr(static_cast<std::size_t>(end - rest.data()));
  if (rest.starts_with(",")) rest.remove_prefix(1);
  while (rest.starts_with(" ")) rest.remove_prefix(1);
  while (!rest.empty() && (rest.back() == '\n' || rest.back() == '\r')) rest.remove_suffix(1);
  event.text = std::string(rest.substr(0, 512));
  return event;
}

}  // namespace tavoren::gpu_health
