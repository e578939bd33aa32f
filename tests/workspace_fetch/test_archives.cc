#include "test_archives.h"

#include <httplib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <stdexcept>

namespace tavoren::workspace_fetch::testing {

namespace fs = std::filesystem;

Entry file(std::string name, std::string content, bool deflate) {
  return {.name = std::move(name), .content = std::move(content), .deflate = deflate};
}

Entry directory(std::string name) {
  return {.name = std::move(name), .kind = Entry::Kind::directory, .permissions = 0755};
}

std::string make_zip(const std::vector<Entry>& entries) {
  tavoren::testing::TempDir dir;
  const fs::path path = dir.path() / "archive.zip";
  int code = 0;
  zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code);
  if (archive == nullptr) throw std::runtime_error("zip_open failed");
  auto fail = [&](const std::string& what) {
    const std::string detail = zip_strerror(archive);
    zip_discard(archive);
    throw std::runtime_error(what + ": " + detail);
  };
  for (const Entry& entry : entries) {
    zip_int64_t index;
    if (entry.kind == Entry::Kind::directory) {
      index = zip_dir_add(archive, entry.name.c_str(), 0);
    } else {
      zip_source_t* source =
          zip_source_buffer(archive, entry.content.data(), entry.content.size(), 0);
      if (source == nullptr) fail("zip_source_buffer");
      index = zip_file_add(archive, entry.name.c_str(), source, 0);
      if (index < 0) zip_source_free(source);
    }
    if (index < 0) fail("adding " + entry.name);
    mode_t type = S_IFREG;
    switch (entry.kind) {
      case Entry::Kind::file:
        break;
      case Entry::Kind::directory:
        type = S_IFDIR;
        break;
      case Entry::Kind::symlink:
        type = S_IFLNK;
        break;
      case Entry::Kind::char_device:
        type = S_IFCHR;
        break;
      case Entry::Kind::fifo:
        type = S_IFIFO;
        break;
    }
    const zip_uint32_t attributes = static_cast<zip_uint32_t>(type | entry.permissions) << 16;
    if (zip_file_set_external_attributes(archive, index, 0, ZIP_OPSYS_UNIX, attributes) != 0 ||
        zip_set_file_compression(archive, index, entry.deflate ? ZIP_CM_DEFLATE : ZIP_CM_STORE,
                                 0) != 0) {
      fail("setting attributes of " + entry.name);
    }
  }
  if (zip_close(archive) != 0) fail("zip_close");
  return tavoren::testing::read_file(path);
}

std::set<std::string> tree(const fs::path& root) {
  std::set<std::string> entries;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    std::string relative = it->path().lexically_relative(root).string();
    if (it->symlink_status().type() == fs::file_type::directory) relative += "/";
    entries.insert(relative);
  }
  return entries;
}

FileServer::FileServer(const std::function<void(httplib::Server&)>& more_handlers) {
  server_.server().set_pre_routing_handler([this](const httplib::Request&, httplib::Response&) {
    ++requests_;
    return httplib::Server::HandlerResponse::Unhandled;
  });
  server_.server().Get(R"(/files/(.+))",
                       [this](const httplib::Request& req, httplib::Response& res) {
                         std::lock_guard lock(mutex_);
                         auto found = files_.find(req.matches[1]);
                         if (found == files_.end()) {
                           res.status = 404;
                           res.set_content("no such file", "text/plain");
                           return;
                         }
                         res.set_content(found->second, "application/octet-stream");
                       });
  if (more_handlers) more_handlers(server_.server());
  server_.start();
}

void FileServer::serve(const std::string& name, std::string body) {
  std::lock_guard lock(mutex_);
  files_[name] = std::move(body);
}

std::string FileServer::url(const std::string& name) const {
  return server_.url() + "/files/" + name;
}

}  // namespace tavoren::workspace_fetch::testing
