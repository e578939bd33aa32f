// The GPUs' health: reading nvidia-smi's answers and the kernel's Xid
// events, quarantine and recovery, and the monitor that takes failed GPUs
// out of every selection.
#include "tavoren/gpu_health.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "gpu_memory_internal.h"
#include "tavoren/common/errors.h"
#include "tavoren/common/logging.h"
#include "tavoren/common/shell.h"
#include "tavoren/host_probe.h"
#include "test_support.h"

namespace tavoren::gpu_health {
namespace {

using host_probe::GpuReading;
using testing::FakeTools;
using testing::TempDir;

// One line of the reading query for a GPU with these signals.
std::string reading_line(int index, const std::string& ecc = "0",
                         const std::string& pending_pages = "No",
                         const std::string& thermal = "Not Active") {
  return std::to_string(index) + ", GPU-" + std::to_string(index) +
         "aaaa, NVIDIA A100-SXM4-80GB, 00000000:" + std::to_string(10 + index) +
         ":00.0, 81920, 1024, 80896, 37, 45, 88.50, 400.00, Enabled, 550.54.15, " + ecc + ", " +
         pending_pages + ", Not Active, " + thermal + "\n";
}

GpuReading healthy(int index) {
  std::vector<GpuReading> parsed = host_probe::detail::parse_gpu_readings(reading_line(index));
  return parsed.at(0);
}

TEST(GpuReadings, FieldsSignalsAndLostGpusAreRead) {
  const std::vector<GpuReading> readings = host_probe::detail::parse_gpu_readings(
      reading_line(0) + reading_line(1, "3", "Yes", "Active") +
      "2, GPU-2bbbb, NVIDIA A100, 00000000:3B:00.0, [GPU is lost], [GPU is lost], [GPU is lost], "
      "[GPU is lost], [GPU is lost], [GPU is lost], [GPU is lost], [GPU is lost], 550.54.15, "
      "[GPU is lost], [GPU is lost], [GPU is lost], [GPU is lost]\n"
      "Unable to determine the device handle for GPU0000:5E:00.0: Unknown Error\n");
  ASSERT_EQ(readings.size(), 4u);
  const GpuReading& first = readings[0];
  EXPECT_EQ(first.uuid, "GPU-0aaaa");
  EXPECT_EQ(first.pci_bus_id, "00000000:10:00.0");
  EXPECT_EQ(first.memory_free_mib, 80896);
  EXPECT_EQ(first.power_draw_w, 88.5);
  EXPECT_EQ(first.ecc_mode, "Enabled");
  EXPECT_EQ(first.ecc_uncorrected_volatile, 0);
  EXPECT_EQ(first.pages_pending_retirement, false);
  EXPECT_FALSE(first.lost);
  EXPECT_EQ(readings[1].ecc_uncorrected_volatile, 3);
  EXPECT_EQ(readings[1].pages_pending_retirement, true);
  EXPECT_EQ(readings[1].thermal_slowdown, true);
  EXPECT_TRUE(readings[2].lost);
  EXPECT_EQ(readings[2].index, 2);
  EXPECT_TRUE(readings[3].lost);
  EXPECT_EQ(readings[3].index, -1);
  EXPECT_EQ(readings[3].pci_bus_id, "00000000:5E:00.0");

  // A signal the GPU does not offer is unknown, not healthy or faulty.
  const GpuReading old = host_probe::detail::parse_gpu_readings(
                             "0, GPU-x, Tesla T4, 00000000:10:00.0, 15360, 0, 15360, 0, 30, "
                             "[N/A], 70.00, [N/A], 470.1, [N/A], [N/A], [N/A], [N/A]\n")
                             .at(0);
  EXPECT_FALSE(old.ecc_uncorrected_volatile.has_value());
  EXPECT_FALSE(old.pages_pending_retirement.has_value());
  EXPECT_EQ(old.ecc_mode, "");

  std::vector<GpuReading> with_rows = {healthy(0), healthy(1)};
  host_probe::detail::apply_remapped_rows("GPU-1aaaa, 2, No\nGPU-0aaaa, 0, Yes\n", with_rows);
  EXPECT_EQ(with_rows[0].row_remap_failed, true);
  EXPECT_EQ(with_rows[1].rows_pending_remap, 2);

  for (const char* bad : {"0, GPU-0, short line\n",
                          "x, GPU-0, A, B, 1, 1, 1, 1, 1, 1, 1, "
                          "Enabled, 1, 0, No, Not Active, Not Active\n",
                          "0, GPU-0, A, B, 1, 1, 1, 1, 1, 1, 1, Enabled, 1, 0, Maybe, "
                          "Not Active, Not Active\n"}) {
    EXPECT_THROW(host_probe::detail::parse_gpu_readings(bad), ValueError) << bad;
  }
}

TEST(XidEvents, LinesAreReadAndSortedIntoTheirClasses) {
  const std::optional<XidEvent> event = parse_xid_line(
      "6,1234,567890123,-;NVRM: Xid (PCI:0000:3b:00): 79, pid='<unknown>', name=<unknown>, GPU "
      "has fallen off the bus.");
  ASSERT_TRUE(event.has_value());
  EXPECT_EQ(event->pci_bus_id, "00000000:3B:00.0");
  EXPECT_EQ(event->xid, 79);
  EXPECT_EQ(event->text, "pid='<unknown>', name=<unknown>, GPU has fallen off the bus.");
  for (const char* other : {"NVRM: loading NVIDIA UNIX x86_64 Kernel Module",
                            "NVRM: Xid (PCI:", "NVRM: Xid (PCI:0000:3b:00): x, pid=1", ""}) {
    EXPECT_FALSE(parse_xid_line(other).has_value()) << other;
  }

  for (int xid : {13, 31, 43, 45}) EXPECT_EQ(classify_xid(xid), FaultClass::kApplication) << xid;
  for (int xid : {48, 63, 64, 74, 79, 92, 94, 95, 119, 120}) {
    EXPECT_EQ(classify_xid(xid), FaultClass::kReset) << xid;
  }
  EXPECT_EQ(classify_xid(154,
                         "GPU recovery action changed from 0x0 (None) to 0x2 (Node Reboot "
                         "Required)"),
            FaultClass::kReboot);
  EXPECT_EQ(classify_xid(999), FaultClass::kNone);
}

XidEvent xid(int number, int gpu_index, const std::string& text = "") {
  return XidEvent{healthy(gpu_index).pci_bus_id, number, text};
}

TEST(HealthBookTest, SignalFaultsQuarantineUntilTheyClear) {
  HealthBook book;
  EXPECT_TRUE(book.observe({healthy(0), healthy(1)}).empty());
  EXPECT_TRUE(book.out_of_use().empty());

  // Uncorrectable ECC errors on GPU 1: quarantined at once.
  std::vector<HealthChange> changes =
      book.observe(host_probe::detail::parse_gpu_readings(reading_line(0) + reading_line(1, "2")));
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].index, 1);
  EXPECT_EQ(changes[0].to, GpuState::kQuarantined);
  EXPECT_EQ(changes[0].fault, FaultClass::kReset);
  EXPECT_EQ(book.out_of_use(), std::set<int>{1});
  // The same reading again changes nothing.
  EXPECT_TRUE(
      book.observe(host_probe::detail::parse_gpu_readings(reading_line(0) + reading_line(1, "2")))
          .empty());
  // A reset clears the volatile count: back in use.
  changes = book.observe({healthy(0), healthy(1)});
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].to, GpuState::kHealthy);
  EXPECT_TRUE(book.out_of_use().empty());

  // Pages pending retirement count as cleared once remapped.
  book.observe(
      host_probe::detail::parse_gpu_readings(reading_line(0, "0", "Yes") + reading_line(1)));
  EXPECT_EQ(book.out_of_use(), std::set<int>{0});
  book.observe({healthy(0), healthy(1)});
  EXPECT_TRUE(book.out_of_use().empty());

  // Throttling is shown, not quarantined.
  EXPECT_TRUE(book.observe(host_probe::detail::parse_gpu_readings(
                               reading_line(0, "0", "No", "Active") + reading_line(1)))
                  .empty());
  EXPECT_EQ(book.gpus().at(0).reading->thermal_slowdown, true);
}

TEST(HealthBookTest, XidsQuarantineByClassAndResetOnesLiftAfterAReset) {
  HealthBook book;
  book.observe({healthy(0), healthy(1), healthy(2)});
  // The application's own faults take nothing out of use.
  for (int application : {13, 31, 43, 45})
    EXPECT_TRUE(book.observe_xid(xid(application, 0)).empty());
  EXPECT_TRUE(book.out_of_use().empty());

  // Xid 79: the GPU fell off the bus; it needs a reset.
  std::vector<HealthChange> changes = book.observe_xid(xid(79, 1));
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].to, GpuState::kQuarantined);
  EXPECT_EQ(changes[0].reason, "Xid 79 (needs a reset)");
  // An event that asks for a reboot on GPU 2.
  book.observe_xid(xid(154, 2, "GPU recovery action changed to 0x2 (Node Reboot Required)"));
  EXPECT_EQ(book.out_of_use(), (std::set<int>{1, 2}));

  // Answering readings alone lift neither.
  book.observe({healthy(0), healthy(1), healthy(2)});
  EXPECT_EQ(book.out_of_use(), (std::set<int>{1, 2}));
  // GPU 1 goes away (its reset) and comes back: back in use. GPU 2 waits
  // for a reboot.
  GpuReading gone = healthy(1);
  gone.lost = true;
  changes = book.observe({healthy(0), gone, healthy(2)});
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_TRUE(changes[0].lost);
  EXPECT_EQ(changes[0].fault, FaultClass::kReboot);
  changes = book.observe({healthy(0), healthy(1), healthy(2)});
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].index, 1);
  EXPECT_EQ(changes[0].to, GpuState::kHealthy);
  EXPECT_EQ(book.out_of_use(), std::set<int>{2});
}

TEST(HealthBookTest, UnreadableHealthMakesGpusUnknownAndMissingOnesLost) {
  HealthBook book(3);
  book.observe({healthy(0), healthy(1)});
  EXPECT_TRUE(book.observe_failure().empty());
  EXPECT_TRUE(book.observe_failure().empty());
  const std::vector<HealthChange> unknown = book.observe_failure();
  ASSERT_EQ(unknown.size(), 2u);
  EXPECT_EQ(unknown[0].to, GpuState::kUnknown);
  EXPECT_EQ(book.out_of_use(), (std::set<int>{0, 1}));
  // One good reading brings them back.
  EXPECT_EQ(book.observe({healthy(0), healthy(1)}).size(), 2u);
  EXPECT_TRUE(book.out_of_use().empty());

  // A GPU no longer listed is lost; one nvidia-smi names by its bus alone
  // too.
  std::vector<HealthChange> changes = book.observe({healthy(0)});
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].index, 1);
  EXPECT_TRUE(changes[0].lost);
  GpuReading by_bus;
  by_bus.lost = true;
  by_bus.pci_bus_id = healthy(0).pci_bus_id;
  changes = book.observe({by_bus, healthy(1)});
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_EQ(book.out_of_use(), std::set<int>{0});

  // An event about a GPU no reading has named yet waits for it.
  HealthBook early;
  EXPECT_TRUE(early.observe_xid(xid(48, 0)).empty());
  EXPECT_EQ(early.observe({healthy(0)}).size(), 1u);
  EXPECT_EQ(early.out_of_use(), std::set<int>{0});
}

class MonitorTest : public ::testing::Test {
 protected:
  void TearDown() override { host_probe::set_gpus_out_of_use({}); }
  void append_kernel_line(const std::string& line) {
    std::ofstream(kernel_log_, std::ios::app) << line << "\n";
  }

  TempDir dir_;
  std::filesystem::path kernel_log_ = dir_.path() / "kmsg";
};

TEST_F(MonitorTest, AFaultTakesTheGpuOutOfEverySelectionWithinOneRound) {
  std::ofstream(kernel_log_) << "6,1,100,-;NVRM: loading NVIDIA UNIX x86_64 Kernel Module\n";
  FakeTools tools;
  // Two GPUs with room for the action; GPU 0 fits best.
  tools.add_script("nvidia-smi",
                   "case \"$1\" in\n"
                   "  --query-gpu=memory.free) printf 'memory.free [MiB]\\n20000 MiB\\n30000 "
                   "MiB\\n' ;;\n"
                   "  *) exit 64 ;;\n"
                   "esac\n");
  const Json action = {
      {"actionDetails", {{"gpuRequired", true}, {"expectedResources", {{"gpuMemory", 10000}}}}}};
  ASSERT_EQ(host_probe::get_single_gpu_with_sufficient_memory_for_action(action),
            std::vector<int>{0});

  std::vector<HealthChange> seen;
  std::vector<std::vector<GpuStatus>> reports;
  std::vector<HealthEvent> last_events;
  HealthMonitor monitor(
      {.period = std::chrono::hours(1),
       .read =
           [] {
             return std::vector<GpuReading>{healthy(0), healthy(1)};
           },
       .kernel_log = kernel_log_,
       .on_change = [&](const HealthChange& change) { seen.push_back(change); },
       .report_period = std::chrono::hours(1),
       .report =
           [&](const std::vector<GpuStatus>& gpus, const std::vector<HealthEvent>& events) {
             reports.push_back(gpus);
             last_events = events;
           }});
  monitor.check_once();
  EXPECT_TRUE(seen.empty());
  // The application's own fault: nothing is taken out of use.
  append_kernel_line("4,2,150,-;NVRM: Xid (PCI:0000:10:00): 13, pid=77, Graphics Exception");
  monitor.check_once();
  EXPECT_TRUE(seen.empty());
  EXPECT_TRUE(host_probe::gpus_out_of_use().empty());
  append_kernel_line("3,3,200,-;NVRM: Xid (PCI:0000:10:00): 48, pid=77, DBE (0x1)");
  monitor.check_once();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].index, 0);
  EXPECT_EQ(host_probe::gpus_out_of_use(), std::set<int>{0});
  EXPECT_EQ(host_probe::get_single_gpu_with_sufficient_memory_for_action(action),
            std::vector<int>{1});
  EXPECT_EQ(host_probe::get_gpu_with_sufficient_memory_for_action(action), std::vector<int>{1});
  // The machine's report went out at the first round, and again at once
  // when GPU 0 was quarantined, not an hour (its period) later; the rounds
  // that changed nothing sent none.
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].size(), 2u);
  EXPECT_EQ(reports[0][0].state, GpuState::kHealthy);
  EXPECT_EQ(reports[1][0].state, GpuState::kQuarantined);
  EXPECT_EQ(reports[1][1].state, GpuState::kHealthy);
  ASSERT_EQ(last_events.size(), 1u);
  monitor.check_once();
  EXPECT_EQ(reports.size(), 2u);
  // A monitor that reports at every round carries the quarantine as a
  // health event of its machine's report.
  HealthMonitor reporting(
      {.period = std::chrono::hours(1),
       .read =
           [] {
             return std::vector<GpuReading>{healthy(0), healthy(1)};
           },
       .kernel_log = kernel_log_,
       .report_period = std::chrono::milliseconds(0),
       .report = [&](const std::vector<GpuStatus>&,
                     const std::vector<HealthEvent>& events) { last_events = events; }});
  reporting.check_once();
  ASSERT_EQ(last_events.size(), 1u);
  EXPECT_EQ(last_events[0].change.index, 0);
  EXPECT_EQ(last_events[0].change.to, GpuState::kQuarantined);
  EXPECT_GT(last_events[0].at, 0);
}

TEST_F(MonitorTest, AHangingProbeIsCutAndNeverStopsTheMonitor) {
  FakeTools tools;
  tools.add_hanging("nvidia-smi");
  const auto started = std::chrono::steady_clock::now();
  EXPECT_THROW(host_probe::read_gpu_readings(std::chrono::milliseconds(200)),
               host_probe::ToolTimeoutError);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));

  // A monitor whose readings fail (here: throw) goes on, and after three
  // failures in a row its GPUs take no new work.
  int reads = 0;
  HealthMonitor monitor({.period = std::chrono::milliseconds(10),
                         .read = [&]() -> std::vector<GpuReading> {
                           if (++reads == 1) return {healthy(0)};
                           throw host_probe::ToolError("nvidia-smi exited with status 9");
                         },
                         .kernel_log = dir_.path() / "absent"});
  monitor.start();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (monitor.gpus().empty() || monitor.gpus()[0].state != GpuState::kUnknown) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "never became unknown";
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  monitor.stop();
  EXPECT_GE(reads, 4);
  EXPECT_EQ(host_probe::gpus_out_of_use(), std::set<int>{0});
}

}  // namespace
}  // namespace tavoren::gpu_health

namespace tavoren::gpu_health {
namespace {

using host_probe::InterruptionNotice;

// Stand-ins of the clouds' metadata services on loopback, each with a
// notice that can be raised mid-test.
class NoticeTest : public ::testing::Test {
 protected:
  NoticeTest() {
    auto& s = service_.server();
    // AWS, with an IMDSv2 session token that every read must carry.
    s.Put("/latest/api/token", [](const httplib::Request& request, httplib::Response& response) {
      if (request.get_header_value("X-aws-ec2-metadata-token-ttl-seconds").empty()) {
        response.status = 400;
        return;
      }
      response.set_content("token-1", "text/plain");
    });
    const auto aws = [](const char* body, const std::atomic<bool>* when) {
      return [body, when](const httplib::Request& request, httplib::Response& response) {
        if (request.get_header_value("X-aws-ec2-metadata-token") != "token-1") {
          response.status = 401;
        } else if (when != nullptr && !*when) {
          response.status = 404;
        } else {
          response.set_content(body, "text/plain");
        }
      };
    };
    s.Get("/latest/meta-data/instance-life-cycle", aws("spot", nullptr));
    s.Get("/latest/meta-data/spot/instance-action",
          aws(R"({"action": "terminate", "time": "2026-12-10T08:00:00Z"})", &aws_notice_));
    s.Get("/latest/meta-data/events/recommendations/rebalance",
          aws(R"({"noticeTime": "2026-12-10T07:58:00Z"})", &aws_rebalance_));
    // GCP.
    s.Get("/computeMetadata/v1/instance/scheduling/preemptible",
          [](const httplib::Request& request, httplib::Response& response) {
            if (request.get_header_value("Metadata-Flavor") != "Google") response.status = 403;
            response.set_content("TRUE", "text/plain");
          });
    s.Get("/computeMetadata/v1/instance/preempted",
          [this](const httplib::Request&, httplib::Response& response) {
            response.set_content(gcp_notice_ ? "TRUE" : "FALSE", "text/plain");
          });
    // Azure.
    s.Get("/metadata/instance/compute/priority",
          [](const httplib::Request& request, httplib::Response& response) {
            if (request.get_header_value("Metadata") != "true") response.status = 400;
            response.set_content("Spot", "text/plain");
          });
    s.Get("/metadata/scheduledevents",
          [this](const httplib::Request&, httplib::Response& response) {
            const std::string event =
                azure_notice_ ? R"({"EventId": "E1", "EventType": "Preempt", "NotBefore": "soon"})"
                              : R"({"EventId": "E0", "EventType": "Freeze", "NotBefore": ""})";
            response.set_content(R"({"DocumentIncarnation": 2, "Events": [)" + event + "]}",
                                 "application/json");
          });
    // Oracle Cloud: a preemptible instance, which is told of nothing inside.
    s.Get("/opc/v2/instance/", [](const httplib::Request& request, httplib::Response& response) {
      if (request.get_header_value("Authorization") != "Bearer Oracle") response.status = 401;
      response.set_content(
          R"({"id": "ocid1.instance.oc1..x", "preemptibleInstanceConfig": )"
          R"({"preemptionAction": {"type": "TERMINATE", "preserveBootVolume": false}}})",
          "application/json");
    });
    service_.start();
    gcp_.emplace("TAVOREN_GCP_METADATA_HOST", service_.host());
    link_local_.emplace("TAVOREN_METADATA_ADDRESS", service_.host());
  }

  testing::LoopbackServer service_;
  std::optional<testing::ScopedEnv> gcp_;
  std::optional<testing::ScopedEnv> link_local_;
  // Set by the test, read by the service's thread.
  std::atomic<bool> aws_notice_{false};
  std::atomic<bool> aws_rebalance_{false};
  std::atomic<bool> gcp_notice_{false};
  std::atomic<bool> azure_notice_{false};
  static constexpr std::chrono::milliseconds kLimit{1000};
};

TEST_F(NoticeTest, EachCloudsSpotMachinesAndNoticesAreRead) {
  for (const char* provider : {"AWS", "GCP", "AZURE"}) {
    EXPECT_TRUE(host_probe::is_spot_machine(provider, kLimit)) << provider;
    EXPECT_TRUE(host_probe::gives_interruption_notice(provider)) << provider;
    EXPECT_FALSE(host_probe::read_interruption_notice(provider, kLimit).has_value()) << provider;
  }
  EXPECT_FALSE(host_probe::is_spot_machine("LOCAL", kLimit));
  // Oracle Cloud's preemptible machine is recognised, and is known to get
  // no notice, so that nothing polls for one.
  EXPECT_TRUE(host_probe::is_spot_machine("OCI", kLimit));
  EXPECT_FALSE(host_probe::gives_interruption_notice("OCI"));

  aws_rebalance_ = true;
  EXPECT_EQ(host_probe::read_interruption_notice("AWS", kLimit)->action, "rebalance");
  aws_notice_ = true;
  EXPECT_EQ(host_probe::read_interruption_notice("AWS", kLimit),
            (InterruptionNotice{"AWS", "terminate", "2026-12-10T08:00:00Z",
                                R"({"action": "terminate", "time": "2026-12-10T08:00:00Z"})"}));
  gcp_notice_ = true;
  EXPECT_EQ(host_probe::read_interruption_notice("GCP", kLimit)->action, "preempt");
  azure_notice_ = true;
  EXPECT_EQ(host_probe::read_interruption_notice("AZURE", kLimit),
            (InterruptionNotice{"AZURE", "preempt", "soon", "E1"}));
}

TEST_F(NoticeTest, TheWatcherActsOnceOnANoticeAndOnlyLogsARebalance) {
  std::atomic<int> acted{0};
  NoticeWatcher watcher({.read = [] { return host_probe::read_interruption_notice("AWS", kLimit); },
                         .period = std::chrono::milliseconds(20),
                         .on_notice =
                             [&](const InterruptionNotice& notice) {
                               EXPECT_EQ(notice.action, "terminate");
                               ++acted;
                             }});
  EXPECT_FALSE(watcher.poll_once());
  aws_rebalance_ = true;
  log::LogCapture capture;
  EXPECT_FALSE(watcher.poll_once());
  EXPECT_FALSE(watcher.poll_once());
  EXPECT_EQ(acted, 0);
  EXPECT_TRUE(capture.contains(log::Level::warning,
                               "AWS recommends moving work off this machine "
                               "(a rebalance recommendation)"));
  aws_notice_ = true;
  const auto noticed = std::chrono::steady_clock::now();
  watcher.start();
  while (acted == 0 && std::chrono::steady_clock::now() - noticed < std::chrono::seconds(5)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  watcher.stop();
  EXPECT_EQ(acted, 1);
  EXPECT_TRUE(watcher.poll_once());
  EXPECT_EQ(acted, 1);

  // A service that does not answer is no notice, and the watcher goes on.
  testing::SilentListener silent;
  testing::ScopedEnv unreachable("TAVOREN_METADATA_ADDRESS",
                                 "127.0.0.1:" + std::to_string(silent.port()));
  NoticeWatcher quiet({.read = [] {
    return host_probe::read_interruption_notice("AWS", std::chrono::milliseconds(100));
  }});
  EXPECT_FALSE(quiet.poll_once());
}

}  // namespace
}  // namespace tavoren::gpu_health
