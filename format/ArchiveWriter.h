// Writing an archive, the mirror of ReadArchiveInfo: the five head bytes,
// the password record, the six streams' lengths, the streams in that order,
// and the integrity record when there is one.
#pragma once

#include <array>
#include <filesystem>
#include <optional>
#include <string>

#include "common/JobInterfaces.h"
#include "format/ArchiveFormat.h"

namespace ost {

struct ArchiveHead {
  bool waveHeader = false;       // byte 0: a ".wav" whose "fmt " chunk was found
  bool pcmName = false;          // byte 1 is 0: the source's name ended in ".pcm"
  bool eightPredictors = false;  // byte 2: predictors 0..7
  bool twoChannels = false;      // byte 3
  std::optional<std::string> passwordRecord;  // length byte and bytes
};

// `streams`: the six streams' files, in StreamIndex order. Errors name
// `shownAs` (the archive's final name; `file` is its temporary one). Returns
// false when `pass` reports a cancel; throws Error on a failed write and
// Error(Unsupported) for a stream longer than its 4-byte length can say.
bool WriteArchive(const std::filesystem::path& file, const std::filesystem::path& shownAs, const ArchiveHead& head,
                  const std::array<std::filesystem::path, 6>& streams, const std::optional<IntegrityRecord>& integrity,
                  JobProgress& pass);

}  // namespace ost
