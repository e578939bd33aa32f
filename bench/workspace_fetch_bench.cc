// Wall time of setup_workspace_and_run_task (download, unpack, flatten) for
// a codebase archive of about 200 MB in 5,000 files, against the same
// download and unpack done by the command-line tools: `curl -s -o FILE URL`
// followed by `unzip -q FILE -d DIR`. Both fetch the same archive from one
// loopback server in the same run; each is timed three times, alternately,
// and the medians are compared.
//
// The archive holds random bytes (so its size is real, not compressed
// away), half of the members stored and half deflated, spread over 50
// directories.
//
//   bench_workspace_fetch [files] [total_megabytes]
#include <httplib.h>
#include <zip.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "tavoren/common/process.h"
#include "tavoren/workspace_fetch.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Writes the archive to `path`.
void make_archive(const fs::path& path, int files, std::size_t total_bytes) {
  std::mt19937_64 random(20240611);
  const std::size_t average = total_bytes / static_cast<std::size_t>(files);
  std::vector<std::string> contents(static_cast<std::size_t>(files));
  int code = 0;
  zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code);
  if (archive == nullptr) throw std::runtime_error("cannot create " + path.string());
  for (int i = 0; i < files; ++i) {
    // Sizes from half to one and a half times the average.
    const std::size_t size = average / 2 + random() % (average + 1);
    std::string& content = contents[static_cast<std::size_t>(i)];
    content.resize(size / 8 * 8);
    for (std::size_t at = 0; at < content.size(); at += 8) {
      const std::uint64_t word = random();
      std::memcpy(content.data() + at, &word, 8);
    }
    const std::string name =
        "project/pkg" + std::to_string(i % 50) + "/module" + std::to_string(i) + ".bin";
    zip_source_t* source = zip_source_buffer(archive, content.data(), content.size(), 0);
    const zip_int64_t index =
        source == nullptr ? -1 : zip_file_add(archive, name.c_str(), source, 0);
    if (index < 0 || zip_set_file_compression(archive, static_cast<zip_uint64_t>(index),
                                              i % 2 == 0 ? ZIP_CM_STORE : ZIP_CM_DEFLATE, 1) != 0) {
      throw std::runtime_error(std::string("cannot add a member: ") + zip_strerror(archive));
    }
  }
  if (zip_close(archive) != 0) {
    throw std::runtime_error(std::string("cannot write the archive: ") + zip_strerror(archive));
  }
}

bool tool_exists(const std::string& name) {
  try {
    return tavoren::process::run_capture({name, "-v"}, {.capture_stderr = true})
        .exit_status.code()
        .has_value();
  } catch (const tavoren::process::SpawnError&) {
    return false;
  }
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int files = argc > 1 ? std::atoi(argv[1]) : 5000;
  const std::size_t megabytes = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 200;
  for (const char* tool : {"curl", "unzip"}) {
    if (!tool_exists(tool)) {
      std::fprintf(stderr, "%s is not installed (scripts/install-deps.sh installs it)\n", tool);
      return 2;
    }
  }

  tavoren::testing::TempDir dir;
  const fs::path archive_path = dir.path() / "source.zip";
  std::printf("generating %d files, %zu MB ...\n", files, megabytes);
  make_archive(archive_path, files, megabytes * 1000 * 1000);
  const std::string archive = tavoren::testing::read_file(archive_path);
  fs::remove(archive_path);
  std::printf("archive: %zu bytes\n", archive.size());

  tavoren::testing::LoopbackServer server;
  server.server().Get("/code.zip", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content_provider(archive.size(), "application/zip",
                             [&](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                               sink.write(archive.data() + offset,
                                          std::min<std::size_t>(length, 1 << 20));
                               return true;
                             });
  });
  server.start();
  const std::string url = server.url() + "/code.zip";

  std::vector<double> ours;
  std::vector<double> tools;
  for (int round = 0; round < 3; ++round) {
    const fs::path work = dir.path() / ("work" + std::to_string(round));
    auto start = Clock::now();
    tavoren::workspace_fetch::setup_workspace_and_run_task(work.string(),
                                                           "0123456789abcdef01234567", url, "");
    ours.push_back(seconds_since(start));

    const fs::path zip = dir.path() / "tools.zip";
    const fs::path out = dir.path() / ("tools" + std::to_string(round));
    start = Clock::now();
    const auto curl =
        tavoren::process::run_inherit({"curl", "-s", "-o", zip.string(), url}).exit_status;
    const auto unzip =
        tavoren::process::run_inherit({"unzip", "-q", zip.string(), "-d", out}).exit_status;
    tools.push_back(seconds_since(start));
    if (!curl.success() || !unzip.success()) {
      std::fprintf(stderr, "curl %s, unzip %s\n", curl.describe().c_str(),
                   unzip.describe().c_str());
      return 1;
    }
    std::printf("round %d: setup_workspace_and_run_task %.3f s, curl + unzip %.3f s\n", round + 1,
                ours.back(), tools.back());
    fs::remove_all(work);
    fs::remove_all(out);
    fs::remove(zip);
  }
  const double ours_median = median(ours);
  const double tools_median = median(tools);
  std::printf("median: setup_workspace_and_run_task %.3f s, curl + unzip %.3f s, ratio %.2f\n",
              ours_median, tools_median, ours_median / tools_median);
  return 0;
}
