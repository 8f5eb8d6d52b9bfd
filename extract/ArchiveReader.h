// Reading an archive: its head (five flag bytes, the password record, six
// stream lengths), the optional integrity record after the streams, and the
// checks that a damaged or foreign file fails before anything is restored.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "format/ArchiveFormat.h"

namespace ost {

struct ArchiveInfo {
  std::uint8_t waveHeader = 0;    // byte 0: 1 = ".wav" source with "fmt " chunk (2048-sample frames)
  std::uint8_t sourceType = 0;    // byte 1: 0 = the source name ended in ".pcm"
  std::uint8_t predictorSet = 0;  // byte 2: 0 = predictors 0..3, 1 = 0..7
  bool twoChannels = false;       // byte 3: 0 = one channel, 1 = two
  bool hasPassword = false;       // byte 4 non-zero
  std::string passwordRecord;     // the record's bytes after its length byte
  // Lengths of the header, sign, low-bits, high-part, predictor-flag and
  // analysis streams, and where the first of them starts.
  std::array<std::uint32_t, 6> streamLength{};
  std::uint64_t streamsOffset = 0;
  std::uint64_t archiveSize = 0;
  std::optional<IntegrityRecord> integrity;
};

// Reads and checks the head; throws Error(Io) or Error(Damaged). Messages
// name `shownAs` when given (an archive read under a temporary name). The
// damage messages begin with kDamagedMessage, but for a WAVE recording given
// in an archive's place, which is told as such: NAME + kWaveNotArchive.
inline constexpr const char* kWaveNotArchive = " is a WAVE recording, not an archive (compressing it makes one)";
ArchiveInfo ReadArchiveInfo(const std::filesystem::path& archive, const std::filesystem::path& shownAs = {});

// The restored file's name: the archive's name with its last four
// characters replaced by ".wav" when byte 0 is 1, else ".pcm". A name of
// four characters or fewer keeps them all and gets the suffix appended, so
// that it never restores to a hidden ".wav".
std::string RestoredName(const std::string& archiveName, std::uint8_t waveHeader);

}  // namespace ost
