// The codebase archive's member checks. A member name the check lets
// through stays inside the destination however it is joined; the quoted
// form of any name is printable. An input that starts like a ZIP archive
// is also unpacked: it is either refused or leaves only plain files and
// directories inside the destination.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>

#include "fuzz_support.h"
#include "tavoren/workspace_fetch.h"
#include "workspace_internal.h"

using namespace tavoren;
namespace fs = std::filesystem;

namespace {

void check_name(const std::string& name) {
  const std::optional<std::string> problem = workspace_fetch::detail::name_problem(name);
  if (!problem) {
    FUZZ_CHECK(!name.empty() && name.front() != '/');
    FUZZ_CHECK(name.find('\0') == std::string::npos);
    const std::string joined = (fs::path("/destination") / name).lexically_normal().string();
    FUZZ_CHECK(joined.starts_with("/destination/"));
    FUZZ_CHECK(joined.size() > std::string("/destination/").size());
  }
  const std::string quoted = workspace_fetch::detail::quote_name(name);
  FUZZ_CHECK(quoted.size() >= name.size() + 2);
  FUZZ_CHECK(quoted.front() == '"' && quoted.back() == '"');
  for (const char c : quoted) {
    const auto byte = static_cast<unsigned char>(c);
    FUZZ_CHECK(byte >= 0x20 && byte != 0x7f);
  }
}

// A private folder for the unpacking runs, made once and removed at exit
// (it is never destroyed, so the removal can still read its name).
const fs::path& scratch() {
  static const fs::path* const dir = [] {
    std::string pattern = (fs::temp_directory_path() / "archive-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    const fs::path* made = new fs::path(pattern);
    std::atexit([] {
      std::error_code ignored;
      fs::remove_all(scratch(), ignored);
    });
    return made;
  }();
  return *dir;
}

void check_unpacking(std::string_view bytes) {
  const fs::path archive = scratch() / "file.zip";
  const fs::path destination = scratch() / "out";
  fs::remove_all(destination);
  fs::create_directory(destination);
  {
    std::FILE* file = std::fopen(archive.c_str(), "wbe");
    if (file == nullptr) std::abort();
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
  }
  const workspace_fetch::FetchLimits limits{.max_extracted_bytes = 1 << 20, .max_members = 64};
  try {
    workspace_fetch::detail::extract_archive(archive, destination, limits);
  } catch (const workspace_fetch::ArchiveError&) {
  } catch (const std::system_error&) {
  }
  for (const auto& entry : fs::recursive_directory_iterator(destination)) {
    const fs::file_status status = entry.symlink_status();
    FUZZ_CHECK(fs::is_regular_file(status) || fs::is_directory(status));
    const std::string relative = entry.path().lexically_relative(destination).string();
    FUZZ_CHECK(!relative.empty() && !relative.starts_with(".."));
  }
  fs::remove_all(destination);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::silence_logging();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes = fuzz::as_text(data, size);
  if (bytes.starts_with("PK")) {
    check_unpacking(bytes);
    return 0;
  }
  for (const std::string& name : fuzz::pieces(bytes, '\n')) check_name(name);
  check_name(std::string(bytes));
  return 0;
}
