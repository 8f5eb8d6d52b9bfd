#include "extract/ArchiveReader.h"
#include "common/Errors.h"
namespace ost {
ArchiveInfo ReadArchiveInfo(const std::filesystem::path&) { throw Error(ErrorKind::Io, "not built yet"); }
std::string RestoredName(const std::string& n, std::uint8_t w) { return (n.size() >= 4 ? n.substr(0, n.size() - 4) : std::string()) + (w == 1 ? ".wav" : ".pcm"); }
}
