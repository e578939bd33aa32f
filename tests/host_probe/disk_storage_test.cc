#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tavoren/common/shell.h"
#include "tavoren/host_probe.h"
#include "test_support.h"

namespace tavoren::host_probe {
namespace {

namespace fs = std::filesystem;
using log::Level;
using log::LogCapture;
using testing::FakeTools;
using testing::ScopedEnv;
using testing::TempDir;

constexpr const char* kDfHeader = "Filesystem      Size  Used Avail Use% Mounted on\n";

// `df -h` on a cloud instance with a data disk, a container engine and a
// USB disk whose mount point holds a blank.
constexpr const char* kDfListing =
    "Filesystem      Size  Used Avail Use% Mounted on\n"
    "udev             32G     0   32G   0% /dev\n"
    "tmpfs           6.3G  2.2M  6.3G   1% /run\n"
    "/dev/nvme0n1p1  194G   84G  111G  44% /\n"
    "tmpfs            32G     0   32G   0% /dev/shm\n"
    "tmpfs           5.0M     0  5.0M   0% /run/lock\n"
    "/dev/nvme0n1p15 105M  6.1M   99M   6% /boot/efi\n"
    "/dev/nvme1n1    3.5T  1.1T  2.3T  32% /data\n"
    "overlay         194G   84G  111G  44% "
    "/var/lib/docker/overlay2/9c3f6e0b2a7d41e58f1c0d6b3a9e7f24c5d8b1a0e6f3c2d9b8a7f6e5d4c3b2a1/"
    "merged\n"
    "/dev/sdb1       932G  412G  520G  45% /media/ubuntu/My Passport\n"
    "tmpfs           6.3G  4.0K  6.3G   1% /run/user/1000\n";

constexpr const char* kDockerInfo =
    "Client: Docker Engine - Community\n"
    " Version:    24.0.7\n"
    " Context:    default\n"
    " Debug Mode: false\n"
    "\n"
    "Server:\n"
    " Containers: 3\n"
    "  Running: 1\n"
    "  Paused: 0\n"
    "  Stopped: 2\n"
    " Images: 12\n"
    " Server Version: 24.0.7\n"
    " Storage Driver: overlay2\n"
    "  Backing Filesystem: extfs\n"
    " Cgroup Driver: systemd\n"
    " Kernel Version: 6.2.0-1017-aws\n"
    " Operating System: Ubuntu 22.04.3 LTS\n"
    " Total Memory: 62.13GiB\n"
    " Docker Root Dir: /mnt/docker-data\n"
    " Debug Mode: false\n"
    " Insecure Registries:\n"
    "  127.0.0.0/8\n"
    " Live Restore Enabled: false\n";

DiskUsage usage(std::string filesystem, double size, double used, double available,
                double use_percentage, std::string mounted_on) {
  return DiskUsage{std::move(filesystem), size, used, available, use_percentage,
                   std::move(mounted_on)};
}

class DiskStorageTest : public ::testing::Test {
 protected:
  std::string answer(const std::string& name, const std::string& text, int status) {
    return "cat " + shell_quote(outputs_.write(name, text).string()) + "; exit " +
           std::to_string(status);
  }
  // df printing `listing` for "df -h" and `root_listing` for "df -h <dir>".
  void fake_df(const std::string& listing, const std::string& root_listing = "", int status = 0) {
    tools_.add_script("df", "if [ $# -ge 2 ]; then " + answer("df_root", root_listing, status) +
                                "; fi\n" + answer("df_all", listing, status));
  }
  struct DockerAnswers {
    std::string ps;
    int ps_status = 0;
    std::string info = kDockerInfo;
    int info_status = 0;
    int prune_status = 0;
  };
  void fake_docker(const DockerAnswers& a) {
    tools_.add_script("docker",
                      "case \"$1\" in\n"
                      "  ps) " +
                          answer("ps", a.ps, a.ps_status) +
                          " ;;\n"
                          "  info) " +
                          answer("info", a.info, a.info_status) +
                          " ;;\n"
                          "  image) exit " +
                          std::to_string(a.prune_status) +
                          " ;;\n"
                          "esac\n"
                          "exit 64");
  }
  std::size_t prunes() const {
    std::size_t n = 0;
    for (const std::string& call : tools_.calls("docker")) n += call == "image prune -a -f";
    return n;
  }

  FakeTools tools_;
  TempDir outputs_;
  LogCapture log_;
};

TEST_F(DiskStorageTest, SizesAreNormalisedToGigabytes) {
  const std::vector<std::pair<std::string, double>> table = {
      {"10G", 10.0},           {"1.5T", 1536.0},     {"512M", 0.5},
      {"1024K", 0.0009765625}, {"0", 0.0},           {"2.0P", 2097152.0},
      {"1E", 1073741824.0},    {"6.1M", 6.1 / 1024}, {"16", 16.0},
  };
  for (const auto& [text, gigabytes] : table) {
    SCOPED_TRACE(text);
    EXPECT_DOUBLE_EQ(_normalize_disk_usage_to_gb(text), gigabytes);
  }
  EXPECT_TRUE(log_.contains(Level::debug, "Normalized disk space value to 1536.000000 GB"));
  EXPECT_EQ(log_.count(Level::error), 0u);

  for (const std::string unreadable : {"1,5G", "", "G", "12Q", "-"}) {
    SCOPED_TRACE(unreadable);
    log_.clear();
    EXPECT_EQ(_normalize_disk_usage_to_gb(unreadable), 0.0);
    EXPECT_EQ(log_.count(Level::error, "Error in _normalize_disk_usage_to_gb: "), 1u);
  }
}

TEST_F(DiskStorageTest, ListingLinesBecomeRecords) {
  EXPECT_EQ(_parse_disk_usage_info("tmpfs            16G     0   16G   0% /dev/shm"),
            usage("tmpfs", 16.0, 0.0, 16.0, 0.0, "/dev/shm"));
  EXPECT_TRUE(log_.contains(Level::debug,
                            "Successfully parsed disk usage info: {\"filesystem\":\"tmpfs\","
                            "\"size\":16.0,\"used\":0.0,\"available\":16.0,\"use_percentage\":0.0,"
                            "\"mounted_on\":\"/dev/shm\"}"));

  // Mount points keep their blanks, as df printed them.
  EXPECT_EQ(
      _parse_disk_usage_info("/dev/sdb1       932G  412G  520G  45% /media/ubuntu/My Passport"),
      usage("/dev/sdb1", 932.0, 412.0, 520.0, 45.0, "/media/ubuntu/My Passport"));
  EXPECT_EQ(_parse_disk_usage_info("/dev/sdc1 1.8T 1.0T 800G 56% /mnt/backup  2024 \n")->mounted_on,
            "/mnt/backup  2024");

  // An unreadable size counts as 0 without losing the line.
  EXPECT_EQ(_parse_disk_usage_info("/dev/md0 2,0T 1,0T 1,0T 50% /srv")->available, 0.0);
  EXPECT_EQ(log_.count(Level::error, "Error in _parse_disk_usage_info"), 0u);

  for (const std::string bad : {"tmpfs 16G 0 16G 0%", "", "tmpfs 16G 0 16G full /dev/shm"}) {
    SCOPED_TRACE(bad);
    log_.clear();
    EXPECT_EQ(_parse_disk_usage_info(bad), std::nullopt);
    EXPECT_EQ(log_.count(Level::error, "Error in _parse_disk_usage_info: "), 1u);
  }
}

TEST_F(DiskStorageTest, DiskSpaceUsageListsEveryParsableLine) {
  fake_df(std::string(kDfListing) + "df: /run/user/1000/doc: Operation not permitted\n");
  const std::optional<std::vector<DiskUsage>> records = get_disk_space_usage();
  ASSERT_TRUE(records.has_value());
  ASSERT_EQ(records->size(), 10u);
  EXPECT_EQ(records->front(), usage("udev", 32.0, 0.0, 32.0, 0.0, "/dev"));
  EXPECT_EQ(records->at(6).mounted_on, "/data");
  EXPECT_DOUBLE_EQ(records->at(6).available, 2.3 * 1024);
  EXPECT_EQ(records->at(8).mounted_on, "/media/ubuntu/My Passport");
  EXPECT_EQ(records->back().mounted_on, "/run/user/1000");
  EXPECT_EQ(tools_.calls("df"), std::vector<std::string>{"-h"});
  EXPECT_TRUE(log_.contains(Level::info, "Getting disk space usage information"));
  EXPECT_TRUE(log_.contains(Level::info, "Found disk usage info for 10 filesystems"));

  // A df that printed no data row and exited non-zero fails.
  fake_df(kDfHeader, "", 1);
  EXPECT_EQ(get_disk_space_usage(), std::nullopt);
  EXPECT_TRUE(
      log_.contains(Level::error, "Error in get_disk_space_usage: df exited with status 1"));
  fake_df("", "", 1);
  EXPECT_EQ(get_disk_space_usage(), std::nullopt);
  EXPECT_EQ(log_.count(Level::error, "Error in get_disk_space_usage: "), 2u);
}

// One unreadable mount: df prints the good rows and exits 1.
TEST_F(DiskStorageTest, RowsPrintedByAFailingDfStillCount) {
  const std::string data = "/dev/nvme1n1    1.0T  624G  400G  61% /data\n";
  fake_df(kDfHeader + data, kDfHeader + data, 1);
  const std::optional<std::vector<DiskUsage>> records = get_disk_space_usage();
  ASSERT_TRUE(records.has_value());
  EXPECT_EQ(*records,
            std::vector<DiskUsage>{usage("/dev/nvme1n1", 1024.0, 624.0, 400.0, 61.0, "/data")});
  EXPECT_TRUE(
      log_.contains(Level::warning, "df exited with status 1; using the 1 rows it printed"));
  EXPECT_EQ(log_.count(Level::error), 0u);

  EXPECT_EQ(get_max_file_system(), "/data");
  fake_docker({.info = kDockerInfo});
  const std::optional<DiskUsage> docker = get_docker_disk_space_usage();
  ASSERT_TRUE(docker.has_value());
  EXPECT_EQ(docker->mounted_on, "/data");
  EXPECT_EQ(tools_.calls("df").back(), "-h /mnt/docker-data");

  // The data root's own df printing nothing but its header still fails.
  fake_df(kDfHeader + data, kDfHeader, 1);
  EXPECT_EQ(get_docker_disk_space_usage(), std::nullopt);
  EXPECT_TRUE(
      log_.contains(Level::error, "Error in get_docker_disk_space_usage: df exited with status 1"));
}

TEST_F(DiskStorageTest, MaxFileSystemIsTheMountWithMostFreeSpace) {
  fake_df(kDfListing);
  EXPECT_EQ(get_max_file_system(), "/data");
  EXPECT_TRUE(log_.contains(Level::info, "Finding filesystem with maximum available space"));
  EXPECT_TRUE(log_.contains(
      Level::info, "Found filesystem with maximum space: /data (2355.200000 GB available)"));

  const std::string root = "/dev/nvme0n1p1  194G  144G   50G  75% /\n";
  const std::string efi = "/dev/nvme0n1p15 1.0G  512M  512M  50% /boot/efi\n";
  const std::string data = "/dev/nvme1n1    1.0T  624G  400G  61% /data\n";
  const std::string scratch = "/dev/nvme2n1    1.0T  624G  400G  61% /scratch\n";
  fake_df(kDfHeader + root + data + efi);
  EXPECT_EQ(get_max_file_system(), "/data");
  // Equal free space: the first listed wins.
  fake_df(kDfHeader + root + data + scratch);
  EXPECT_EQ(get_max_file_system(), "/data");
  fake_df(kDfHeader + root + scratch + data);
  EXPECT_EQ(get_max_file_system(), "/scratch");
}

TEST_F(DiskStorageTest, RootFileSystemGivesTheWorkspaceUnderHome) {
  TempDir home;
  ScopedEnv home_env("HOME", (home.path() / "ubuntu").string());
  ScopedEnv workspace_env("WORKSPACE_DIR", "workspace");
  // Larger but unsuitable: the EFI partition, overlays, a full disk.
  fake_df(std::string(kDfHeader) +
          "/dev/nvme0n1p1  194G  144G   50G  75% /\n"
          "/dev/sdb15      2.0T  1.0M  2.0T   1% /boot/efi\n"
          "fuse-overlayfs  3.5T  1.0T  2.5T  29% /home/ubuntu/.local/share/containers/storage\n"
          "overlay         3.5T  1.0T  2.5T  29% /var/lib/docker/overlay2/3f2a/merged\n"
          "/dev/nvme1n1    3.5T  3.5T     0 100% /data\n");
  const fs::path expected = home.path() / "ubuntu" / "workspace";
  EXPECT_EQ(get_max_file_system(), expected.string());
  EXPECT_TRUE(fs::is_directory(expected));
  EXPECT_TRUE(log_.contains(Level::info,
                            "Found filesystem with maximum space: / (50.000000 GB available)"));
  EXPECT_TRUE(log_.contains(Level::info, "Created workspace directory at: " + expected.string()));

  // An existing directory is used as it is; an absolute value replaces home.
  EXPECT_EQ(get_max_file_system(), expected.string());
  const fs::path absolute = home.path() / "jobs" / "data";
  ScopedEnv absolute_env("WORKSPACE_DIR", absolute.string());
  EXPECT_EQ(get_max_file_system(), absolute.string());
  EXPECT_TRUE(fs::is_directory(absolute));
  EXPECT_EQ(log_.count(Level::error), 0u);
}

TEST_F(DiskStorageTest, NoUsableFileSystemWithoutWorkspaceIsNull) {
  TempDir home;
  ScopedEnv home_env("HOME", home.path().string());
  ScopedEnv workspace_env("WORKSPACE_DIR", std::nullopt);
  fake_df(std::string(kDfHeader) +
          "overlay  194G  84G  111G  44% /var/lib/docker/overlay2/x/merged\n");
  EXPECT_EQ(get_max_file_system(), std::nullopt);
  EXPECT_TRUE(log_.contains(Level::warning, "No suitable filesystems found after filtering"));
  EXPECT_TRUE(log_.contains(Level::error, "WORKSPACE_DIR environment variable not set"));
  EXPECT_TRUE(fs::is_empty(home.path()));

  log_.clear();
  fake_df(kDfHeader);
  EXPECT_EQ(get_max_file_system(), std::nullopt);
  EXPECT_TRUE(log_.contains(Level::warning, "No disk usage information available"));

  // A df that fails without printing a data row.
  fake_df(kDfHeader, "", 1);
  EXPECT_EQ(get_max_file_system(), std::nullopt);
  EXPECT_EQ(log_.count(Level::warning, "No disk usage information available"), 2u);
}

TEST_F(DiskStorageTest, DockerRunningMeansAListedContainer) {
  const std::string header =
      "CONTAINER ID   IMAGE     COMMAND   CREATED   STATUS    PORTS     NAMES\n";
  fake_docker({.ps = header});
  EXPECT_FALSE(is_docker_running());
  fake_docker({.ps = header +
                     "3f4e5a6b7c8d   registry.example.com/train:1.2   \"python3 main.py 65f…\"   "
                     "2 hours ago   Up 2 hours             65f0c1d2e3f4a5b6c7d8e9f0\n"});
  EXPECT_TRUE(is_docker_running());
  fake_docker({.ps = "", .ps_status = 1});
  EXPECT_FALSE(is_docker_running());
  TempDir empty;
  ScopedEnv path("PATH", empty.path().string());
  EXPECT_FALSE(is_docker_running());
  EXPECT_EQ(log_.count(Level::error), 0u);
}

TEST_F(DiskStorageTest, DockerDiskUsageIsThatOfItsDataRoot) {
  fake_docker({});
  fake_df(kDfListing, std::string(kDfHeader) + "/dev/nvme1n1    3.5T  1.1T  2.3T  32% /mnt\n");
  const std::optional<DiskUsage> record = get_docker_disk_space_usage();
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(*record, usage("/dev/nvme1n1", 3584.0, 1.1 * 1024, 2.3 * 1024, 32.0, "/mnt"));
  EXPECT_EQ(tools_.calls("df"), std::vector<std::string>{"-h /mnt/docker-data"});
  EXPECT_TRUE(log_.contains(Level::debug, "Found Docker root directory: /mnt/docker-data"));
  EXPECT_TRUE(log_.contains(
      Level::info, "Successfully retrieved Docker disk usage: " + record->to_json().dump()));
}

TEST_F(DiskStorageTest, DockerDiskUsageFailures) {
  fake_df(kDfListing, std::string(kDfHeader) + "/dev/nvme1n1 3.5T 1.1T 2.3T 32% /mnt\n");

  fake_docker({.info = "Client: Docker Engine - Community\n Version:    24.0.7\n"});
  EXPECT_EQ(get_docker_disk_space_usage(), std::nullopt);
  EXPECT_TRUE(log_.contains(Level::error, "Unable to find Docker root directory"));
  EXPECT_TRUE(tools_.calls("df").empty());

  fake_docker({.info = "", .info_status = 1});
  EXPECT_EQ(get_docker_disk_space_usage(), std::nullopt);
  EXPECT_EQ(log_.count(Level::error, "Error in get_docker_disk_space_usage: "), 1u);

  fake_docker({});
  fake_df(kDfListing, kDfHeader);
  EXPECT_EQ(get_docker_disk_space_usage(), std::nullopt);
  EXPECT_TRUE(
      log_.contains(Level::error, "No disk usage information found for Docker root directory"));

  fake_df(kDfListing, std::string(kDfHeader) + "/dev/nvme1n1 3.5T 1.1T 2.3T\n");
  EXPECT_EQ(get_docker_disk_space_usage(), std::nullopt);
  EXPECT_TRUE(log_.contains(Level::error, "Failed to parse Docker disk usage information"));
}

TEST_F(DiskStorageTest, CleanupPrunesWhenStorageIsLow) {
  struct Case {
    std::string df_line;
    bool prune;
  };
  const std::vector<Case> cases = {
      {"/dev/nvme0n1p1  500G  449G   31G  89.9% /", false},
      {"/dev/nvme0n1p1  500G  450G   31G  90% /", true},
      {"/dev/nvme0n1p1  500G  250G   30G  50% /", true},
      {"/dev/nvme0n1p1  500G  250G   30.1G  50% /", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.df_line);
    log_.clear();
    fake_docker({});
    fake_df(kDfListing, kDfHeader + c.df_line + "\n");
    const std::size_t before = prunes();
    cleanup_docker_storage();
    EXPECT_EQ(prunes() - before, c.prune ? 1u : 0u);
    const std::optional<DiskUsage> record = _parse_disk_usage_info(c.df_line);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(log_.contains(Level::info, "Pruning Docker images. Disk space is low: " +
                                             record->to_json().dump()),
              c.prune);
    EXPECT_EQ(log_.contains(Level::info, "Docker images pruned successfully."), c.prune);
    EXPECT_EQ(log_.count(Level::error), 0u);
  }
}

TEST_F(DiskStorageTest, CleanupSurvivesEngineFailures) {
  fake_df(kDfListing, std::string(kDfHeader) + "/dev/nvme0n1p1 500G 480G 20G 96% /\n");
  fake_docker({.prune_status = 1});
  cleanup_docker_storage();
  EXPECT_EQ(prunes(), 1u);
  EXPECT_EQ(log_.count(Level::error, "Error in prune_docker_images: "), 1u);
  EXPECT_FALSE(log_.contains(Level::info, "Docker images pruned successfully."));

  fake_docker({.info = "", .info_status = 1});
  cleanup_docker_storage();
  EXPECT_TRUE(
      log_.contains(Level::error, "Failed to get Docker disk space usage, skipping cleanup"));
  EXPECT_EQ(prunes(), 1u);
  EXPECT_EQ(log_.count(Level::error, "Error in cleanup_docker_storage"), 0u);
}

}  // namespace
}  // namespace tavoren::host_probe
