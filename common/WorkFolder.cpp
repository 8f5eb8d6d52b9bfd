#include "common/WorkFolder.h"

#include <cstdlib>
#include <string>
#include <system_error>

#include "common/Errors.h"

namespace ost {

WorkFolder::WorkFolder() {
  std::error_code ec;
  std::filesystem::path base = std::filesystem::temp_directory_path(ec);
  if (ec) base = "/tmp";
  std::string templ = (base / "ostinato-job-XXXXXX").string();
  if (!mkdtemp(templ.data())) ThrowIo("cannot create working folder", templ);
  path_ = templ;
}

WorkFolder::~WorkFolder() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void WorkFolder::CopyAllTo(const std::filesystem::path& dir) const {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) ThrowIo("cannot create folder", dir, ec.value());
  for (const auto& entry : std::filesystem::directory_iterator(path_)) {
    std::filesystem::copy_file(entry.path(), dir / entry.path().filename(),
                               std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) ThrowIo("cannot copy working file to", dir / entry.path().filename(), ec.value());
  }
}

}  // namespace ost
