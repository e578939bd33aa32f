// Reading whole files without handing their descriptors to children.
//
// std::ifstream and plain fopen() open without O_CLOEXEC, so a child that
// another thread spawns at that moment would inherit the descriptor for its
// whole life. Every file the agent reads goes through here instead: the
// descriptor is opened with O_CLOEXEC and closed before the call returns.
// Safe from any thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace tavoren {

// The whole content of `path`. Throws std::system_error (with the errno and
// the path) when it cannot be opened or read.
std::string read_file(const std::filesystem::path& path);
// Like read_file, but nullopt when `path` cannot be opened (missing,
// unreadable) or is a file under /proc whose process or thread ended
// between the open and the read (ESRCH); any other read error after a
// successful open still throws.
std::optional<std::string> read_file_if_present(const std::filesystem::path& path);

}  // namespace tavoren
