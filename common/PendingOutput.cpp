#include "common/PendingOutput.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <string>
#include <system_error>

#include "common/Errors.h"
#include "common/FileIO.h"

namespace ost {

namespace {

std::filesystem::path FolderOf(const std::filesystem::path& target) {
  std::filesystem::path folder = target.parent_path();
  return folder.empty() ? std::filesystem::path(".") : folder;
}

}  // namespace

std::string PendingOutput::TempPrefix(const std::filesystem::path& target) {
  long nameMax = pathconf(FolderOf(target).c_str(), _PC_NAME_MAX);
  if (nameMax <= 0) nameMax = NAME_MAX;
  static constexpr std::size_t kAdded = 1 + 6 + 6;  // ".", ".part-", the random part
  std::string name = target.filename().string();
  const std::size_t room = static_cast<std::size_t>(nameMax) > kAdded ? static_cast<std::size_t>(nameMax) - kAdded : 1;
  if (name.size() > room) {
    std::size_t cut = room;
    // Never in the middle of a UTF-8 sequence: continuation bytes are 10xxxxxx.
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    name.resize(cut);
  }
  return "." + name + ".part-";
}

std::optional<Error> TargetRefusal(const std::filesystem::path& target, bool replace) {
  std::error_code ec;
  const auto status = std::filesystem::status(target, ec);
  if (ec || !std::filesystem::exists(status)) return std::nullopt;
  if (!std::filesystem::is_regular_file(status))
    return Error(ErrorKind::Exists, target.string() + " is not a regular file; an output can only replace a file", {},
                 target);
  if (!replace) return Error(ErrorKind::Exists, target.string() + " already exists", {}, target);
  return std::nullopt;
}

PendingOutput::PendingOutput(std::filesystem::path target, bool replace)
    : target_(std::move(target)), replace_(replace) {
  if (const std::optional<Error> refusal = TargetRefusal(target_, replace_)) throw *refusal;
  const std::filesystem::path folder = FolderOf(target_);
  const std::string prefix = TempPrefix(target_);
  leftovers::RemoveDead(folder, prefix);
  temp_ = leftovers::MakeFile(folder, prefix, target_);
  leftovers::Add(temp_.path);
  // mkstemp makes the file private, and it stays so, with the mark of an
  // unfinished output, until it is committed with the permissions a new
  // file gets (or its source's): the work of a private recording is never
  // readable by others, not even for a moment.
  mode_t mask = umask(0);
  umask(mask);
  mode_ = 0666 & ~mask;
  fchmod(temp_.fd, 0600 | leftovers::kOwnedMark);
}

PendingOutput::~PendingOutput() {
  if (!committed_) RemoveQuietly(temp_.path);
  leftovers::Release(temp_);
  leftovers::Forget(temp_.path);
}

void PendingOutput::TakeAttributesOf(const std::filesystem::path& source) {
  struct stat st {};
  if (stat(source.c_str(), &st) != 0) ThrowIo("cannot read", source);
  mode_ = st.st_mode & 0666;
  modified_ = st.st_mtim;
}

void PendingOutput::Commit() {
  const std::filesystem::path& temp = temp_.path;
  // A file system that keeps no permissions (FAT through FUSE, some network
  // shares) refuses chmod; its files keep what it gives them, and the
  // output is no less whole for it.
  if (fchmod(temp_.fd, mode_) != 0 && errno != ENOSYS && errno != EPERM && errno != EOPNOTSUPP)
    ThrowIo("cannot create", target_);
  // The writes are over, so nothing moves the time after this. A file
  // system that keeps no such time keeps the output all the same.
  if (modified_) {
    const timespec times[2] = {{0, UTIME_OMIT}, *modified_};
    futimens(temp_.fd, times);
  }
  if (replace_) {
    if (std::rename(temp.c_str(), target_.c_str()) != 0) ThrowIo("cannot create", target_);
  } else {
    // link() fails with EEXIST instead of replacing, unlike rename().
    if (link(temp.c_str(), target_.c_str()) != 0) {
      int err = errno;
      if (err == EEXIST) throw Error(ErrorKind::Exists, target_.string() + " already exists", {}, target_);
      // File systems without hard links: fall back to a checked rename.
      std::error_code ec;
      if (std::filesystem::exists(target_, ec))
        throw Error(ErrorKind::Exists, target_.string() + " already exists", {}, target_);
      if (std::rename(temp.c_str(), target_.c_str()) != 0) ThrowIo("cannot create", target_);
      committed_ = true;
      return;
    }
    RemoveQuietly(temp);
  }
  committed_ = true;
}

}  // namespace ost
