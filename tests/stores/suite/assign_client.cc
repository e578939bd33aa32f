// A second process for the assignment tests: takes actions from the given
// database until none is left and prints each identifier it received, one
// a line.
//
// Usage: local_backend_assign_client <database> <instance-id> <batch>

#include <cstdio>
#include <exception>
#include <string>
#include <utility>

#include "tavoren/sqlite_store.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s <database> <instance-id> <batch>\n", argv[0]);
    return 2;
  }
  try {
    tavoren::backend::LocalBackendOptions options;
    options.database = argv[1];
    options.instance_id = argv[2];
    options.assign_batch = std::stoi(argv[3]);
    // It may hold the whole queue: the race between processes is the point.
    options.fleet.default_max_actions = 1000;
    tavoren::backend::LocalScaling backend(std::move(options));
    // A queue that never empties would be a fault: give up after far more
    // answers than the tests submit actions.
    for (int answers = 0; answers < 1000; ++answers) {
      const tavoren::backend::Result result = backend.assign_jobs(true);
      if (result.has_error_set()) {
        std::fprintf(stderr, "assign_jobs refused: %s\n", result.error->c_str());
        return 1;
      }
      if (result.data.empty()) return 0;
      for (const auto& record : result.data) {
        std::printf("%s\n", record.at("_id").get<std::string>().c_str());
      }
    }
    std::fprintf(stderr, "the queue never emptied\n");
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
}
