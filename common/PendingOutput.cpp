#include "common/PendingOutput.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <system_error>

#include "common/Errors.h"
#include "common/FileIO.h"

namespace ost {

PendingOutput::PendingOutput(std::filesystem::path target, bool replace)
    : target_(std::move(target)), replace_(replace) {
  std::error_code ec;
  if (!replace_ && std::filesystem::exists(target_, ec))
    throw Error(ErrorKind::Exists, target_.string() + " already exists");
  std::filesystem::path folder = target_.parent_path();
  if (folder.empty()) folder = ".";
  std::string templ = (folder / ("." + target_.filename().string() + ".part-XXXXXX")).string();
  int fd = mkstemp(templ.data());
  if (fd < 0) ThrowIo("cannot create", target_);
  // mkstemp makes the file private; give it the permissions a new file gets.
  mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  close(fd);
  temp_ = templ;
}

PendingOutput::~PendingOutput() {
  if (!committed_) RemoveQuietly(temp_);
}

void PendingOutput::Commit() {
  if (replace_) {
    if (std::rename(temp_.c_str(), target_.c_str()) != 0) ThrowIo("cannot create", target_);
  } else {
    // link() fails with EEXIST instead of replacing, unlike rename().
    if (link(temp_.c_str(), target_.c_str()) != 0) {
      int err = errno;
      if (err == EEXIST) throw Error(ErrorKind::Exists, target_.string() + " already exists");
      // File systems without hard links: fall back to a checked rename.
      std::error_code ec;
      if (std::filesystem::exists(target_, ec))
        throw Error(ErrorKind::Exists, target_.string() + " already exists");
      if (std::rename(temp_.c_str(), target_.c_str()) != 0) ThrowIo("cannot create", target_);
      committed_ = true;
      return;
    }
    RemoveQuietly(temp_);
  }
  committed_ = true;
}

}  // namespace ost
