// Readers of backend answers and records shared by every caller of the
// contract.
#include "tavoren/backend.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>
#include <utility>

#include "tavoren/common/text.h"
#include "tavoren/common/utf8.h"

namespace tavoren::backend {

bool has_action_id_length(std::string_view text) {
  return code_point_count(text) == kActionIdLength;
}

bool is_action_id(std::string_view text) {
  return text.size() == kActionIdLength && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

const Json* stored_gpu_memory(const Json& record) {
  const Json* level = &record;
  for (const char* key : {"actionDetails", "expectedResources", "gpuMemory"}) {
    if (!level->is_object()) {
      throw TypeError(std::string("Cannot look up '") + key + "' in a " + level->type_name());
    }
    const auto it = level->find(key);
    if (it == level->end()) return nullptr;
    level = &*it;
  }
  return level;
}

std::optional<Json> gpu_memory_number(const Json& stored) {
  if (stored.is_number()) return stored;
  if (!stored.is_string()) return std::nullopt;
  const std::string text = trim(stored.get_ref<const std::string&>());
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  long long whole = 0;
  if (const auto [at, error] = std::from_chars(begin, end, whole);
      error == std::errc() && at == end && !text.empty()) {
    return Json(whole);
  }
  double fraction = 0;
  if (const auto [at, error] = std::from_chars(begin, end, fraction);
      error == std::errc() && at == end && !text.empty() && std::isfinite(fraction)) {
    return Json(fraction);
  }
  return std::nullopt;
}

bool refusal_kind::is_kind(std::string_view text) {
  for (std::string_view kind :
       {kValueError, kTypeError, kKeyError, kNotConfigured, kNotCurrent, kTooLarge, kFailed}) {
    if (text == kind) return true;
  }
  return false;
}

bool names_no_identifier(const Json& ids) {
  // An empty text is written out: is_truthy counts every text as present.
  if (ids.is_string()) return ids.get_ref<const std::string&>().empty();
  return !is_truthy(ids);
}

bool is_scaled_down(const Json& ids, std::string_view id) {
  if (names_no_identifier(ids)) return false;
  if (ids.is_array()) {
    for (const Json& listed : ids) {
      if (listed.is_string() && listed.get_ref<const std::string&>() == id) return true;
    }
    return false;
  }
  if (ids.is_object()) return ids.contains(std::string(id));
  if (ids.is_string()) return ids.get_ref<const std::string&>() == id;
  throw ScaledDownIdsError(ids);
}

namespace {
thread_local std::uint64_t passing_failures = 0;
}  // namespace

CallFailure::CallFailure(const std::string& what, bool may_pass)
    : std::runtime_error(what), may_pass_(may_pass) {
  if (may_pass) ++passing_failures;
}

std::uint64_t passing_failures_on_this_thread() { return passing_failures; }

ScaledDownIdsError::ScaledDownIdsError(Json answer)
    : TypeError("the scaled-down identifiers are not a collection: " + answer.dump()),
      answer_(std::move(answer)) {}

namespace end_cause {

const std::vector<std::string_view>& all() {
  static const std::vector<std::string_view> kAll = {
      kExited, kCudaOom, kStartFailed, kPreempted, kGpuFault, kScaledDown, kMachineLost, kDrained};
  return kAll;
}

bool is_agent_cause(std::string_view cause) {
  return cause == kExited || cause == kCudaOom || cause == kStartFailed || cause == kPreempted ||
         cause == kGpuFault;
}

bool requeues(std::string_view cause) {
  return cause == kMachineLost || cause == kPreempted || cause == kGpuFault;
}

}  // namespace end_cause

}  // namespace tavoren::backend
