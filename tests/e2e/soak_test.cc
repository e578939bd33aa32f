// A soak run of the agent program: a few hundred short actions through
// `tavoren-agent run` on the embedded backend and the sandbox's engine.
// The agent must come back to where it started (memory, descriptors,
// threads), every action's log must reach the backend whole, and each
// action's end must be recorded within seconds of its container's end.
// The figures are printed for the record.

#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "agent_program_fixture.h"
#include "e2e_support.h"
#include "tavoren/common/files.h"
#include "tavoren/common/text.h"

namespace tavoren::testing::e2e {
namespace {

constexpr int kWarmUpActions = 20;
constexpr int kSoakActions = 200;

// What the kernel says of a process.
struct Footprint {
  long rss_kib = 0;
  int descriptors = 0;
  int threads = 0;
  // What each descriptor is open on, and the command line of each child,
  // for the messages.
  std::vector<std::string> open_files;
  std::vector<std::string> children;
};

// What a file under /proc holds, or "" once its process or thread has ended.
std::string read_proc_file(const std::filesystem::path& path) {
  return read_file_if_present(path).value_or("");
}

// The command line of each child of `proc`'s threads.
void add_children(const std::string& proc, Footprint& seen) {
  for (const auto& entry : std::filesystem::directory_iterator(proc + "/task")) {
    // A thread or child may end while it is read.
    const std::string children = read_proc_file(entry.path() / "children");
    for (const std::string& child : split_whitespace(children)) {
      std::string command = read_proc_file("/proc/" + child + "/cmdline");
      std::replace(command.begin(), command.end(), '\0', ' ');
      seen.children.push_back(command);
    }
  }
}

// The children are read before and after the descriptors, so that a
// footprint without children holds no descriptor of a child that started
// or ended while it was taken.
Footprint footprint_of(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  Footprint seen;
  add_children(proc, seen);
  for (const std::string& line : split(read_file(proc + "/status"), '\n')) {
    if (line.starts_with("VmRSS:")) seen.rss_kib = std::stol(split_whitespace(line).at(1));
    if (line.starts_with("Threads:")) seen.threads = std::stoi(split_whitespace(line).at(1));
  }
  for (const auto& entry : std::filesystem::directory_iterator(proc + "/fd")) {
    ++seen.descriptors;
    std::error_code ec;
    seen.open_files.push_back(std::filesystem::read_symlink(entry.path(), ec).string());
  }
  std::sort(seen.open_files.begin(), seen.open_files.end());
  add_children(proc, seen);
  return seen;
}

// Seconds since the epoch of a UTC time stamp "YYYY-MM-DDTHH:MM:SS[.fraction]Z";
// negative when it is not one.
double epoch_seconds(const std::string& stamp) {
  std::tm parts{};
  int consumed = 0;
  if (std::sscanf(stamp.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &parts.tm_year, &parts.tm_mon,
                  &parts.tm_mday, &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &consumed) != 6) {
    return -1;
  }
  parts.tm_year -= 1900;
  parts.tm_mon -= 1;
  double seconds = static_cast<double>(::timegm(&parts));
  if (stamp[consumed] == '.') {
    double scale = 0.1;
    for (std::size_t i = consumed + 1; i < stamp.size() && std::isdigit(stamp[i]); ++i) {
      seconds += (stamp[i] - '0') * scale;
      scale /= 10;
    }
  }
  return seconds;
}

// When each action's container finished, by action, as the engine says.
std::map<std::string, double> container_ends(const std::vector<std::string>& ids) {
  std::map<std::string, double> ends;
  process::RunResult listed = docker(
      {"ps", "-a", "--no-trunc", "--filter", "label=tavoren.action-id", "--format", "{{.ID}}"});
  std::vector<std::string> containers = split_whitespace(listed.out);
  for (std::size_t first = 0; first < containers.size(); first += 50) {
    std::vector<std::string> args = {
        "inspect", "--format",
        "{{index .Config.Labels \"tavoren.action-id\"}} {{.State.Running}} {{.State.FinishedAt}}"};
    const std::size_t last = std::min(containers.size(), first + 50);
    args.insert(args.end(), containers.begin() + first, containers.begin() + last);
    for (const std::string& line : split(docker(args).out, '\n')) {
      const std::vector<std::string> words = split_whitespace(line);
      if (words.size() == 3 && words[1] == "false") ends[words[0]] = epoch_seconds(words[2]);
    }
  }
  for (auto it = ends.begin(); it != ends.end();) {
    it = std::find(ids.begin(), ids.end(), it->first) == ids.end() ? ends.erase(it) : ++it;
  }
  return ends;
}

class AgentSoak : public AgentProgram {
 protected:
  std::vector<std::string> submit_many(int count) {
    std::vector<std::string> ids;
    for (int i = 0; i < count; ++i) ids.push_back(submit("resource_clone", Sandbox::get().image()));
    return ids;
  }

  bool all_ended(const std::vector<std::string>& ids, seconds limit) {
    return eventually(
        [&] {
          AgentRun listed = run_agent({"list", "--backend", db(), "--json"});
          if (listed.exit_status != 0) return false;
          const Json actions = Json::parse(listed.out, nullptr, false);
          if (!actions.is_array()) return false;
          std::size_t ended = 0;
          for (const Json& action : actions) {
            const std::string id = action.value("_id", action.value("id", ""));
            if (action.value("state", "") == "ended" &&
                std::find(ids.begin(), ids.end(), id) != ids.end()) {
              ++ended;
            }
          }
          return ended == ids.size();
        },
        limit);
  }

  // The agent at rest: its footprint unchanged for longer than two
  // housekeeping passes (one a second), so every ended unit was purged,
  // and `settled` by it, within 90 s. A call to the engine that outlasts
  // the recorded end of the last action keeps its thread and descriptors
  // (its connection and the transfer's wake-up pair) unchanged until it
  // ends, at the latest at its time limit (60 s); a leak keeps them for
  // good.
  //
  // Each poll cycle runs the disk check's commands (`docker info`, `df`),
  // whose pipes and process descriptor live as long as they run; on a busy
  // machine they run for much of the cycle. A footprint taken while one
  // runs is passed over, neither counted nor breaking the count.
  Footprint at_rest(const std::function<bool(const Footprint&)>& settled = nullptr) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    Footprint last = footprint_of(agent_->pid());
    int still = 0;
    while (std::chrono::steady_clock::now() < deadline &&
           (still < 10 || !last.children.empty() || (settled && !settled(last)))) {
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
      Footprint now = footprint_of(agent_->pid());
      if (!now.children.empty() && last.children.empty()) continue;
      still = now.threads == last.threads && now.descriptors == last.descriptors ? still + 1 : 0;
      last = std::move(now);
    }
    return last;
  }
};

TEST_F(AgentSoak, TwoHundredShortActionsLeaveTheAgentAsItWasWithEveryLogWholeAndEachEndOnTime) {
  auto between = [](std::chrono::steady_clock::time_point from,
                    std::chrono::steady_clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
  };
  const auto began = std::chrono::steady_clock::now();
  const std::vector<std::string> warm_up = submit_many(kWarmUpActions);
  start_agent({"--assign-batch", "10", "--log-interval", "1"});
  ASSERT_TRUE(all_ended(warm_up, seconds(300))) << output();
  const auto warm = std::chrono::steady_clock::now();
  const Footprint before = at_rest();
  // The embedded backend keeps a few idle database connections (at most
  // four, each on the database and its log, all sharing one index file,
  // and one more that copies the log back); every other descriptor must be
  // back to what it was.
  auto database_files = [&](const Footprint& footprint) {
    return std::count_if(footprint.open_files.begin(), footprint.open_files.end(),
                         [&](const std::string& path) { return path.starts_with(db()); });
  };
  auto other_files = [&](const Footprint& footprint) {
    return footprint.descriptors - database_files(footprint);
  };

  const auto soak_began = std::chrono::steady_clock::now();
  const std::vector<std::string> ids = submit_many(kSoakActions);
  ASSERT_TRUE(all_ended(ids, seconds(900))) << output();
  const auto soak_ended = std::chrono::steady_clock::now();
  const double soak_seconds = between(soak_began, soak_ended);
  const Footprint after = at_rest([&](const Footprint& now) {
    return other_files(now) <= other_files(before) + 1 && now.threads <= before.threads + 1;
  });
  const auto rested = std::chrono::steady_clock::now();

  // Every log whole: what the backend holds is the container's output.
  int whole = 0;
  std::map<std::string, std::string> recorded_ends;
  for (const std::string& id : ids) {
    const std::string file = log_file("resource_clone", id);
    const bool complete =
        file.find("job line 2000 of 2000\n") != std::string::npos && shipped_log(id) == file;
    EXPECT_TRUE(complete) << id << ": " << file.size() << " bytes in the file, ending \""
                          << file.substr(file.size() - std::min<std::size_t>(file.size(), 40))
                          << "\"; " << shipped_log(id).size() << " bytes shipped";
    if (complete) ++whole;
    const Json shown = show(id);
    EXPECT_EQ(shown["exitStatus"], 0) << id;
    recorded_ends[id] = shown.value("endedAt", "");
  }

  // Each end recorded soon after its container's end.
  const std::map<std::string, double> finished = container_ends(ids);
  EXPECT_EQ(finished.size(), ids.size());
  std::vector<double> lags;
  for (const auto& [id, container_end] : finished) {
    const double recorded = epoch_seconds(recorded_ends[id]);
    ASSERT_GT(recorded, 0) << id;
    ASSERT_GT(container_end, 0) << id;
    lags.push_back(recorded - container_end);
  }
  std::sort(lags.begin(), lags.end());
  ASSERT_FALSE(lags.empty());
  const double median = lags[lags.size() / 2];
  const double p95 = lags[lags.size() * 95 / 100];
  const double worst = lags.back();

  std::printf(
      "soak: %d actions in %.1f s (%.1f per minute), %d logs whole\n"
      "soak: end recorded after the container's end: median %.2f s, p95 %.2f s, max %.2f s\n"
      "soak: agent at rest before -> after: RSS %ld -> %ld KiB, descriptors %d -> %d, "
      "threads %d -> %d\n"
      "soak: whole run %.1f s: warm-up %.1f s, at rest before %.1f s and after %.1f s, "
      "checks %.1f s\n",
      kSoakActions, soak_seconds, kSoakActions * 60 / soak_seconds, whole, median, p95, worst,
      before.rss_kib, after.rss_kib, before.descriptors, after.descriptors, before.threads,
      after.threads, between(began, std::chrono::steady_clock::now()), between(began, warm),
      between(warm, soak_began), between(soak_ended, rested),
      between(rested, std::chrono::steady_clock::now()));

  EXPECT_LT(worst, 10.0) << "an action's end reached the backend late";
  EXPECT_LE(database_files(after), 2 * 6 + 1) << Json(after.open_files).dump();
  EXPECT_LE(other_files(after), other_files(before) + 1)
      << "before: " << Json(before.open_files).dump()
      << "\nafter: " << Json(after.open_files).dump()
      << "\nchildren after: " << Json(after.children).dump();
  EXPECT_LE(after.threads, before.threads + 1);
  EXPECT_LE(after.rss_kib, before.rss_kib + 16 * 1024);

  agent_->send_signal(SIGTERM);
  ASSERT_EQ(returncode_of(agent_->wait_for(seconds(30))), 0) << output();
  expect_no_secret_logged();
}

}  // namespace
}  // namespace tavoren::testing::e2e
