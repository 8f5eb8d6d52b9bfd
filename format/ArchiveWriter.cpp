#include "format/ArchiveWriter.h"

#include <memory>

#include "common/Errors.h"
#include "common/FileIO.h"

namespace ost {

bool WriteArchive(const std::filesystem::path& file, const std::filesystem::path& shownAs, const ArchiveHead& head,
                  const std::array<std::filesystem::path, 6>& streams, const std::optional<IntegrityRecord>& integrity,
                  JobProgress& pass) {
  OutFile out(file, shownAs);
  const std::uint8_t bytes[5] = {
      static_cast<std::uint8_t>(head.waveHeader ? 1 : 0),
      static_cast<std::uint8_t>(head.pcmName ? 0 : 1),
      static_cast<std::uint8_t>(head.eightPredictors ? 1 : 0),
      static_cast<std::uint8_t>(head.twoChannels ? 1 : 0),
      static_cast<std::uint8_t>(head.passwordRecord ? head.passwordRecord->size() : 0),
  };
  out.Write(bytes, 5);
  if (head.passwordRecord) out.Write(head.passwordRecord->data(), head.passwordRecord->size());
  InFile parts[6];
  std::uint64_t total = 0;
  for (int i = 0; i < 6; ++i) {
    parts[i].Open(streams[static_cast<std::size_t>(i)]);
    total += parts[i].Size();
  }
  for (auto& part : parts) {
    if (part.Size() > 0xFFFFFFFFu)
      throw Error(ErrorKind::Unsupported, part.path().string() + " is longer than an archive stream can be (4 GiB)", {},
                  part.path());
    out.WriteU32(static_cast<std::uint32_t>(part.Size()));
  }
  // Copied in blocks, a unit each, with a look for a cancel between them.
  // The block is no larger than the files' own buffers: fresh memory costs
  // a page fault a page, more than copying it.
  constexpr std::size_t kBlock = 1 << 16;
  pass.Begin({}, total / kBlock + 1);
  const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kBlock);
  for (auto& part : parts) {
    for (std::size_t got; (got = part.Read(buffer.get(), kBlock)) > 0;) {
      out.Write(buffer.get(), got);
      pass.Step();
      if (pass.IsCancelled()) return false;
    }
  }
  if (integrity) {
    out.Write(kIntegrityTag, 4);
    for (int i = 0; i < 8; ++i) out.Put(static_cast<std::uint8_t>(integrity->restoredLength >> (8 * i)));
    out.WriteU32(integrity->crc32);
  }
  out.Close();
  return true;
}

}  // namespace ost
