// Errors of the core library. Library code never ends the process: every
// failure a user can meet is thrown as an Error whose text names the file
// and the reason, and the caller decides how to show it.
#pragma once

#include <filesystem>
#include <new>
#include <stdexcept>
#include <string>

namespace ost {

enum class ErrorKind {
  Io,                // a file could not be opened, read or written
  InvalidName,       // the source is neither ".wav" nor ".pcm"
  ChannelCancelled,  // the channel question was not answered
  Unsupported,       // a source whose bytes the format cannot all keep
  Damaged,           // an archive that is not what the compressor writes
  WrongPassword,     // the password given does not match the record
  PasswordNeeded,    // the archive holds a password and none was given
  Exists,            // the target exists and replacing it was not allowed
  Verify,            // the restored bytes differ from the source
  Changed,           // the source changed while the job read it
  SameFile,          // an output would replace one of the job's own inputs
  NoIntegrity,       // the record was required and the archive has none
  Resources,         // the system gave the job no thread or no memory to run on
};

class Error : public std::runtime_error {
 public:
  // `detail`: for a damaged archive the damage alone (without the leading
  // message), else what only a log needs (which internal pass failed);
  // users see the message. `file`: the file the message names, by the name
  // the user knows it by; empty when the message names none. `systemError`:
  // the errno of a failed system call (Io), 0 when there was none.
  Error(ErrorKind kind, const std::string& message, std::string detail = {}, std::filesystem::path file = {},
        int systemError = 0)
      : std::runtime_error(message),
        kind_(kind),
        detail_(std::move(detail)),
        file_(std::move(file)),
        systemError_(systemError) {}
  ErrorKind kind() const noexcept { return kind_; }
  const std::string& detail() const noexcept { return detail_; }
  const std::filesystem::path& file() const noexcept { return file_; }
  int systemError() const noexcept { return systemError_; }

 private:
  ErrorKind kind_;
  std::string detail_;
  std::filesystem::path file_;
  int systemError_;
};

// "cannot open /x/y.wav: No such file or directory": `action` is what failed,
// the reason comes from errno (or `err` when given); the error's file is `file`.
[[noreturn]] void ThrowIo(const std::string& action, const std::filesystem::path& file, int err = -1);

// "The archive is damaged: " + detail; the error's detail() is `detail`
// alone, for callers that add where the damage lies. `archive`: the archive
// that `detail` names, if it names one.
[[noreturn]] void ThrowDamaged(const std::string& detail, const std::filesystem::path& archive = {});

// Runs a job; an allocation that fails anywhere in it fails the job as any
// failure does, with Error(Resources), instead of a bare std::bad_alloc.
template <class Job>
auto WithMemoryFailureTold(Job&& job) -> decltype(job()) {
  try {
    return job();
  } catch (const std::bad_alloc&) {
    throw Error(ErrorKind::Resources, "there is not enough memory for the job");
  }
}

inline constexpr const char* kDamagedMessage = "The archive is damaged";
inline constexpr const char* kWrongPasswordMessage = "You have Entered the WRONG PASSWORD!";

}  // namespace ost
