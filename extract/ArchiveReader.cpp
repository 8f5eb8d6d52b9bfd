#include "extract/ArchiveReader.h"

#include <cstring>
#include <string>

#include "common/Errors.h"
#include "common/FileIO.h"
#include "format/ArchiveFormat.h"

namespace ost {

namespace {

std::uint32_t U32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0] | (p[1] << 8) | (p[2] << 16)) | (static_cast<std::uint32_t>(p[3]) << 24);
}

}  // namespace

ArchiveInfo ReadArchiveInfo(const std::filesystem::path& path, const std::filesystem::path& shownAs) {
  const std::filesystem::path& archive = shownAs.empty() ? path : shownAs;
  InFile in(path);
  ArchiveInfo info;
  info.archiveSize = in.Size();
  std::uint8_t head[5];
  if (in.Read(head, 5) != 5) ThrowDamaged(archive.string() + " is shorter than the 5-byte head of an archive", archive);
  info.waveHeader = head[0];
  info.sourceType = head[1];
  info.predictorSet = head[2];
  info.twoChannels = head[3] != 0;
  // An archive's head is flags with no mark of its own, but a recording
  // given in its place is easily told, and worth telling as such.
  if (std::memcmp(head, "RIFF", 4) == 0)
    throw Error(ErrorKind::Damaged, archive.string() + kWaveNotArchive, "a WAVE recording, not an archive", archive);
  for (int i = 0; i < 4; ++i)
    if (head[i] > 1)
      ThrowDamaged(archive.string() + ": head byte " + std::to_string(i) + " is " + std::to_string(head[i]) +
                   ", not 0 or 1", archive);
  const int p = head[4];
  info.hasPassword = p > 0;
  if (p > 0) {
    std::string record(static_cast<std::size_t>(p), '\0');
    if (in.Read(record.data(), record.size()) != record.size())
      ThrowDamaged(archive.string() + " ends within its password record", archive);
    if (static_cast<unsigned char>(record[0]) != p - 1)
      ThrowDamaged(archive.string() + ": the password record's length byte disagrees with its size", archive);
    info.passwordRecord = record.substr(1);
  }
  std::uint8_t lengths[24];
  if (in.Read(lengths, 24) != 24) ThrowDamaged(archive.string() + " ends within its six stream lengths", archive);
  std::uint64_t sum = 0;
  for (int i = 0; i < 6; ++i) {
    info.streamLength[i] = U32(lengths + 4 * i);
    sum += info.streamLength[i];
  }
  info.streamsOffset = 29 + static_cast<std::uint64_t>(p);
  const std::uint64_t end = info.streamsOffset + sum;
  if (info.archiveSize == end + kIntegrityRecordSize) {
    in.Seek(end);
    std::uint8_t record[kIntegrityRecordSize];
    if (in.Read(record, sizeof record) != sizeof record)
      ThrowDamaged(archive.string() + " ends within its integrity record", archive);
    for (int i = 0; i < 4; ++i)
      if (record[i] != kIntegrityTag[i])
        ThrowDamaged(archive.string() + " has 16 bytes after its streams that are not an integrity record", archive);
    IntegrityRecord integrity;
    integrity.restoredLength = U32(record + 4) | (static_cast<std::uint64_t>(U32(record + 8)) << 32);
    integrity.crc32 = U32(record + 12);
    info.integrity = integrity;
  } else if (info.archiveSize != end) {
    ThrowDamaged(archive.string() + ": its six stream lengths add up to " + std::to_string(sum) +
                 " bytes, but " + std::to_string(info.archiveSize > info.streamsOffset
                                                      ? info.archiveSize - info.streamsOffset
                                                      : 0) +
                 " follow its head", archive);
  }
  // Coded streams carry at least their 4-byte length.
  static const char* kCodedNames[6] = {"header", "sign", nullptr, "high-part", "predictor-flag", nullptr};
  for (int i = 0; i < 6; ++i)
    if (kCodedNames[i] && info.streamLength[i] < 4)
      ThrowDamaged(archive.string() + ": the " + kCodedNames[i] + " stream is shorter than its 4-byte length", archive);
  return info;
}

std::string RestoredName(const std::string& archiveName, std::uint8_t waveHeader) {
  const std::string stem = archiveName.size() > 4 ? archiveName.substr(0, archiveName.size() - 4) : archiveName;
  return stem + (waveHeader == 1 ? ".wav" : ".pcm");
}

}  // namespace ost
