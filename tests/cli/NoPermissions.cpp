// Loaded into otq with LD_PRELOAD: a file system that keeps no permissions,
// as FAT through FUSE does, where chmod fails with ENOSYS.
#include <sys/stat.h>

#include <cerrno>

extern "C" int fchmod(int, mode_t) {
  errno = ENOSYS;
  return -1;
}

extern "C" int chmod(const char*, mode_t) {
  errno = ENOSYS;
  return -1;
}
