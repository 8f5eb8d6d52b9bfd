// An output file that appears only when it is complete. It is written under
// a temporary name beside its target and renamed into place by Commit(); if
// the job fails or is cancelled first, the temporary file is removed and a
// file already at the target is left as it was. The temporary name is
// ".NAME.part-XXXXXX", with NAME shortened where needed so that it fits
// wherever the target's name fits; it stays locked while this object lives,
// and the next output to the same target removes one left by a process that
// was killed.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <filesystem>
#include <optional>

#include "common/Errors.h"
#include "common/Leftovers.h"

namespace ost {

// Why an output cannot go to `target`, known before any work: something
// other than a file in the way (a device, a pipe or a folder would be
// renamed over and lost), or a file when `replace` is false. Nothing when
// it can go there.
std::optional<Error> TargetRefusal(const std::filesystem::path& target, bool replace);

class PendingOutput {
 public:
  // Throws Error(Exists) when the target exists and `replace` is false.
  PendingOutput(std::filesystem::path target, bool replace);
  PendingOutput(const PendingOutput&) = delete;
  PendingOutput& operator=(const PendingOutput&) = delete;
  ~PendingOutput();

  const std::filesystem::path& temp() const { return temp_.path; }
  // The committed file takes `source`'s permission bits (less any execute
  // bits: no archive or recording is a program, though every file of a FAT
  // stick looks like one) and modification time, as a copy would, instead
  // of a new file's: a private recording stays private in its archive and in
  // what is restored from it. Read when called; call it when the source is
  // known whole, before Commit().
  void TakeAttributesOf(const std::filesystem::path& source);
  // Moves the finished file into place. Without `replace` an existing target
  // is never overwritten, even one that appeared while the job ran.
  void Commit();

  // The temporary names' common part for `target`: "." + its name (cut at a
  // character boundary when too long) + ".part-".
  static std::string TempPrefix(const std::filesystem::path& target);

 private:
  std::filesystem::path target_;
  leftovers::Owned temp_;
  bool replace_;
  bool committed_ = false;
  mode_t mode_ = 0644;  // what the committed file gets
  std::optional<timespec> modified_;  // and its modification time, when it keeps its source's
};

}  // namespace ost
