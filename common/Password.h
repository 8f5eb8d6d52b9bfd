// The password record of an archive: one length byte, then the password's
// bytes in Windows-1252, the code page the format's readers store them in.
// A password has at most 14 characters, each one that Windows-1252 holds:
// were others stored as UTF-8, two different passwords could store the same
// bytes.
#pragma once

#include <string>
#include <string_view>

namespace ost {

inline constexpr std::size_t kMaxPasswordChars = 14;

// The stored bytes of a password given as UTF-8. Throws Error(Unsupported)
// for more than 14 characters, a character outside Windows-1252, or text
// that is not UTF-8.
std::string PasswordBytes(std::string_view utf8);

// Whether a typed password (UTF-8) opens an archive whose record holds
// `stored`. Archives written before the code page was enforced stored such
// passwords as UTF-8; they still open with the same text.
bool PasswordMatches(std::string_view typed, std::string_view stored);

// The whole record: length byte and bytes.
std::string PasswordRecord(std::string_view utf8);

}  // namespace ost
