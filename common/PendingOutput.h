// An output file that appears only when it is complete. It is written under
// a temporary name beside its target and renamed into place by Commit(); if
// the job fails or is cancelled first, the temporary file is removed and a
// file already at the target is left as it was.
#pragma once

#include <filesystem>

namespace ost {

class PendingOutput {
 public:
  // Throws Error(Exists) when the target exists and `replace` is false.
  PendingOutput(std::filesystem::path target, bool replace);
  PendingOutput(const PendingOutput&) = delete;
  PendingOutput& operator=(const PendingOutput&) = delete;
  ~PendingOutput();

  const std::filesystem::path& temp() const { return temp_; }
  const std::filesystem::path& target() const { return target_; }
  // Moves the finished file into place. Without `replace` an existing target
  // is never overwritten, even one that appeared while the job ran.
  void Commit();

 private:
  std::filesystem::path target_;
  std::filesystem::path temp_;
  bool replace_;
  bool committed_ = false;
};

}  // namespace ost
