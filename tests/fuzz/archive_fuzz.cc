// The codebase archive's member checks. A member name the check lets
// through stays inside the destination however it is joined; the quoted
// form of any name is printable. An input that starts like a ZIP archive
// is unpacked as it is, and one that starts with "ZIP" and a newline
// describes members of a well-formed archive written with libzip: either
// is refused or leaves only plain files and directories inside the
// destination, every file of the archive among them.
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

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

fs::path archive_path() { return scratch() / "file.zip"; }

// Unpacks the archive at archive_path(): it is refused, or everything it
// leaves is a plain file or directory inside the destination. True when it
// was unpacked.
bool check_unpacking(const std::vector<std::string>& file_members = {}) {
  const fs::path destination = scratch() / "out";
  fs::remove_all(destination);
  fs::create_directory(destination);
  const workspace_fetch::FetchLimits limits{.max_extracted_bytes = 1 << 20, .max_members = 64};
  bool unpacked = true;
  try {
    workspace_fetch::detail::extract_archive(archive_path(), destination, limits);
  } catch (const workspace_fetch::ArchiveError&) {
    unpacked = false;
  } catch (const std::system_error&) {
    unpacked = false;
  }
  for (const auto& entry : fs::recursive_directory_iterator(destination)) {
    const fs::file_status status = entry.symlink_status();
    FUZZ_CHECK(fs::is_regular_file(status) || fs::is_directory(status));
    const fs::path relative = entry.path().lexically_relative(destination);
    FUZZ_CHECK(!relative.empty() && *relative.begin() != "..");
  }
  // Every file of an archive that was unpacked is there.
  if (unpacked) {
    for (const std::string& name : file_members) {
      FUZZ_CHECK(fs::is_regular_file(fs::symlink_status(destination / name)));
    }
  }
  fs::remove_all(destination);
  return unpacked;
}

void write_raw_archive(std::string_view bytes) {
  std::FILE* file = std::fopen(archive_path().c_str(), "wbe");
  if (file == nullptr) std::abort();
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
}

bool printable_ascii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
}

// Writes a well-formed archive with one member per line of `listing`: the
// line's first byte picks the kind ('d' a directory, 'l' a symbolic link,
// 'w' a file marked as a directory by its DOS attributes, anything else a
// regular file) and the rest is the member's name. Returns the names of the
// regular files that libzip took; nullopt when it wrote no archive.
std::optional<std::vector<std::string>> write_generated_archive(std::string_view listing) {
  int error = 0;
  zip_t* archive = zip_open(archive_path().c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  if (archive == nullptr) std::abort();
  std::vector<std::string> files;
  // libzip reads the contents only when it writes the archive.
  std::deque<std::string> contents;
  for (const std::string& line : fuzz::pieces(listing, '\n')) {
    if (line.empty()) continue;
    const char kind = line.front();
    // libzip takes names as C strings: a NUL ends them.
    const std::string name = line.substr(1, line.find('\0') - 1);
    zip_int64_t index;
    if (kind == 'd') {
      index = zip_dir_add(archive, name.c_str(), ZIP_FL_ENC_RAW);
    } else {
      const std::string& content_text = contents.emplace_back(name);
      zip_source_t* content =
          zip_source_buffer(archive, content_text.data(), content_text.size(), 0);
      if (content == nullptr) std::abort();
      index = zip_file_add(archive, name.c_str(), content, ZIP_FL_ENC_RAW | ZIP_FL_OVERWRITE);
      if (index < 0) {
        zip_source_free(content);
        continue;
      }
      std::erase(files, name);  // a member of the same name was replaced
      if (kind == 'l') {
        zip_file_set_external_attributes(archive, index, 0, ZIP_OPSYS_UNIX,
                                         static_cast<zip_uint32_t>(S_IFLNK | 0777) << 16);
      } else if (kind == 'w') {
        zip_file_set_external_attributes(archive, index, 0, ZIP_OPSYS_DOS, 0x10);
      } else {
        // A replaced member keeps the attributes set on the one it replaces,
        // so a regular file says what it is.
        zip_file_set_external_attributes(archive, index, 0, ZIP_OPSYS_UNIX,
                                         static_cast<zip_uint32_t>(S_IFREG | 0644) << 16);
        // Other names are read back in the encoding libzip guesses for them.
        if (!name.ends_with('/') && printable_ascii(name)) files.push_back(name);
      }
    }
  }
  if (zip_close(archive) != 0) {
    zip_discard(archive);
    return std::nullopt;
  }
  return files;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::silence_logging();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes = fuzz::as_text(data, size);
  if (bytes.starts_with("PK")) {
    write_raw_archive(bytes);
    check_unpacking();
    return 0;
  }
  if (bytes.starts_with("ZIP\n")) {
    if (const auto files = write_generated_archive(bytes.substr(4))) check_unpacking(*files);
    return 0;
  }
  for (const std::string& name : fuzz::pieces(bytes, '\n')) check_name(name);
  check_name(std::string(bytes));
  return 0;
}
