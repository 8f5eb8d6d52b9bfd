#include "common/WorkFolder.h"

#include <cerrno>
#include <system_error>

#include "common/Errors.h"
#include "common/FileIO.h"

namespace ost {

namespace {
constexpr const char* kPrefix = "ostinato-job-";

std::filesystem::path Base() {
  std::error_code ec;
  std::filesystem::path base = std::filesystem::temp_directory_path(ec);
  return ec ? std::filesystem::path("/tmp") : base;
}
}  // namespace

WorkFolder::WorkFolder() {
  // Folders of jobs whose process was killed go first.
  RemoveDeadFolders();
  folder_ = leftovers::MakeFolder(Base(), kPrefix);
  leftovers::Add(folder_.path);
}

void WorkFolder::RemoveDeadFolders() { leftovers::RemoveDead(Base(), kPrefix); }

WorkFolder::~WorkFolder() {
  std::error_code ec;
  std::filesystem::remove_all(folder_.path, ec);
  leftovers::Release(folder_);
  leftovers::Forget(folder_.path);
}

void WorkFolder::CopyAllTo(const std::filesystem::path& dir) const {
  MakeFolders(dir);
  std::error_code ec;
  std::filesystem::directory_iterator it(folder_.path, ec);
  if (ec) ThrowIo("cannot read working folder", folder_.path, ec.value());
  for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
    if (ec) ThrowIo("cannot read working folder", folder_.path, ec.value());
    std::filesystem::copy_file(it->path(), dir / it->path().filename(),
                               std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) ThrowIo("cannot copy working file to", dir / it->path().filename(), ec.value());
  }
}

Error WorkFolder::Explained(const Error& error) const {
  const std::string file = error.file().string();
  const std::string message = error.what();
  const std::size_t at = message.find(file);
  if (error.kind() != ErrorKind::Io || file.rfind(folder_.path.string() + "/", 0) != 0 || at == std::string::npos)
    return error;
  const std::filesystem::path base = folder_.path.parent_path();
  // Another folder helps where this one lacks room or rights, not where the
  // process ran out of something of its own.
  const int err = error.systemError();
  const bool anotherFolderHelps = err != EMFILE && err != ENFILE && err != ENOMEM;
  return Error(ErrorKind::Io,
               message.substr(0, at) + "the job's working files in " + base.string() + message.substr(at + file.size()) +
                   (anotherFolderHelps ? " (TMPDIR names another folder for them)" : ""),
               error.detail(), base, err);
}

}  // namespace ost
