// What a job leaves on disk while it runs (outputs not yet in place, private
// working folders) and how such things are cleaned up when their process is
// gone. Each is held under an exclusive lock by the process that made it; a
// lock that can be taken means the owner ended without cleaning up (it was
// killed), and the next run that meets the leftover removes it.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <string>

namespace ost::leftovers {

// The mark of what this program makes while it runs (the sticky bit, which
// means nothing on such files and private folders): an entry without it is
// never taken for a leftover.
inline constexpr mode_t kOwnedMark = S_ISVTX;

// Registers a path the process is making, so that RemoveAll can find it.
void Add(const std::filesystem::path& path);
void Forget(const std::filesystem::path& path) noexcept;
// Removes every registered file and folder: for a program that must end at
// once (a second interrupt) and still leave nothing behind.
void RemoveAll() noexcept;

// Creates a file or folder whose name is `prefix` plus six random
// characters, holding its lock (the returned descriptor). Throws Error(Io)
// naming `shownAs` when it cannot be made.
struct Owned {
  std::filesystem::path path;
  int fd = -1;
};
Owned MakeFile(const std::filesystem::path& folder, const std::string& prefix, const std::filesystem::path& shownAs);
Owned MakeFolder(const std::filesystem::path& folder, const std::string& prefix);
// Releases the lock.
void Release(Owned& owned) noexcept;

// Removes the entries of `folder` named `prefix` plus six characters whose
// owner no longer runs; entries still owned are left alone.
void RemoveDead(const std::filesystem::path& folder, const std::string& prefix) noexcept;

}  // namespace ost::leftovers
