// A Qt file name as the core's path: the bytes the file system knows the
// file by (the locale's encoding), so that any name Qt showed can be opened.
#pragma once

#include <QFile>
#include <QString>
#include <filesystem>
#include <string>

namespace gui {

inline std::filesystem::path ToPath(const QString& path) {
  const QByteArray bytes = QFile::encodeName(path);
  return std::filesystem::path(std::string(bytes.constData(), static_cast<std::size_t>(bytes.size())));
}

}  // namespace gui
