// A private folder for the working files of one job. Each job gets its own
// under the system's temporary folder, so two jobs (or two programs) never
// meet, and the whole folder goes when the job ends, however it ends. The
// folder stays locked while its owner lives, so that a folder left by a
// killed process is recognised and removed by the next job.
#pragma once

#include <filesystem>
#include <string_view>

#include "common/Errors.h"
#include "common/Leftovers.h"

namespace ost {

class WorkFolder {
 public:
  WorkFolder();  // throws Error when the folder cannot be made
  // Removes the folders of jobs whose process was killed, as making a
  // folder does, for a job that may need none.
  static void RemoveDeadFolders();
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;
  ~WorkFolder();

  const std::filesystem::path& path() const { return folder_.path; }
  std::filesystem::path File(std::string_view name) const { return folder_.path / name; }
  // Copies every file of the folder into `dir` (made if missing), for inspection.
  void CopyAllTo(const std::filesystem::path& dir) const;
  // A failure to read or write one of the folder's files, told so that the
  // user learns where working files go and how to send them elsewhere
  // (a full /tmp, say); any other error comes back as it was.
  Error Explained(const Error& error) const;

 private:
  leftovers::Owned folder_;
};

}  // namespace ost
