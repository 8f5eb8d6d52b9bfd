#include "common/Leftovers.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <system_error>

#include "common/Errors.h"

namespace ost::leftovers {

namespace {

std::mutex& RegistryMutex() {
  static std::mutex mutex;
  return mutex;
}
// Never destroyed: a second stop request removes what is listed on the
// signal thread, which may be doing so as the main thread ends the process.
std::set<std::filesystem::path>& Registry() {
  static auto* paths = new std::set<std::filesystem::path>;
  return *paths;
}

constexpr std::size_t kRandomChars = 6;

bool SameInode(int fd, const std::filesystem::path& path) {
  struct stat byFd {}, byName {};
  return fstat(fd, &byFd) == 0 && lstat(path.c_str(), &byName) == 0 && byFd.st_ino == byName.st_ino &&
         byFd.st_dev == byName.st_dev;
}

// A scan of another process may have removed what was just made, in the
// moment before it was locked: once the lock is held, the name must still
// lead to it.
// `make` gives nullopt for a name made and removed before it could be
// opened (another run's cleanup), which is tried again; any other failure
// returns at once, errno telling why.
template <typename Make>
Owned MakeLocked(Make make) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::optional<Owned> made = make();
    if (!made) continue;
    Owned owned = *made;
    if (owned.fd < 0) return owned;
    if (flock(owned.fd, LOCK_EX) == 0 && SameInode(owned.fd, owned.path)) return owned;
    close(owned.fd);
  }
  errno = EAGAIN;
  return Owned{};
}

}  // namespace

void Add(const std::filesystem::path& path) {
  std::lock_guard lock(RegistryMutex());
  Registry().insert(path);
}

void Forget(const std::filesystem::path& path) noexcept {
  std::lock_guard lock(RegistryMutex());
  Registry().erase(path);
}

void RemoveAll() noexcept {
  std::lock_guard lock(RegistryMutex());
  for (const auto& path : Registry()) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  Registry().clear();
}

Owned MakeFile(const std::filesystem::path& folder, const std::string& prefix, const std::filesystem::path& shownAs) {
  Owned owned = MakeLocked([&]() -> std::optional<Owned> {
    std::string name = (folder / (prefix + std::string(kRandomChars, 'X'))).string();
    const int fd = mkostemp(name.data(), O_CLOEXEC);  // made and opened at once
    return Owned{name, fd};
  });
  if (owned.fd < 0) ThrowIo("cannot create", shownAs);
  return owned;
}

Owned MakeFolder(const std::filesystem::path& folder, const std::string& prefix) {
  std::string attempted;
  Owned owned = MakeLocked([&]() -> std::optional<Owned> {
    attempted = (folder / (prefix + std::string(kRandomChars, 'X'))).string();
    if (!mkdtemp(attempted.data())) return Owned{attempted, -1};
    chmod(attempted.c_str(), 0700 | kOwnedMark);
    const int fd = open(attempted.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
      const int err = errno;
      if (err == ENOENT) return std::nullopt;
      rmdir(attempted.c_str());
      errno = err;
    }
    return Owned{attempted, fd};
  });
  if (owned.fd < 0) ThrowIo("cannot create working folder", attempted);
  return owned;
}

void Release(Owned& owned) noexcept {
  if (owned.fd >= 0) close(owned.fd);
  owned.fd = -1;
}

void RemoveDead(const std::filesystem::path& folder, const std::string& prefix) noexcept {
  // Every job looks through its target's folder and the temporary folder,
  // which may hold thousands of entries: names are compared as the system
  // gives them, and only a match becomes a path.
  DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
  if (!dir) return;
  while (const dirent* entry = readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name.size() != prefix.size() + kRandomChars || name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::filesystem::path path = folder.empty() ? std::filesystem::path(name) : folder / name;
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat info {};
    // Only what this program marked as its own: an older program's files
    // of the same names take no lock, and may still be in use.
    const bool ours = fstat(fd, &info) == 0 && (S_ISREG(info.st_mode) || S_ISDIR(info.st_mode)) &&
                      info.st_uid == geteuid() && (info.st_mode & kOwnedMark) != 0;
    if (ours && flock(fd, LOCK_EX | LOCK_NB) == 0 && SameInode(fd, path)) {
      std::error_code removeError;
      std::filesystem::remove_all(path, removeError);
    }
    close(fd);
  }
  closedir(dir);
}

}  // namespace ost::leftovers
