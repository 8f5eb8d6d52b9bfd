// The password record of an archive: one length byte, then the password's
// bytes. Passwords are kept in Windows-1252 when every character has a form
// there, so archives made by the original Windows program keep working, and
// in UTF-8 otherwise. A password has at most 14 characters.
#pragma once

#include <string>
#include <string_view>

namespace ost {

inline constexpr std::size_t kMaxPasswordChars = 14;

// The stored bytes of a password given as UTF-8. Throws Error(Unsupported)
// for more than 14 characters or text that is not UTF-8.
std::string PasswordBytes(std::string_view utf8);

// The whole record: length byte and bytes.
std::string PasswordRecord(std::string_view utf8);

// Number of characters of a UTF-8 text (code points).
std::size_t Utf8Length(std::string_view utf8);

}  // namespace ost
