#include "common/Password.h"

#include <optional>
#include <vector>

#include "common/Errors.h"

namespace ost {

namespace {

// Code points of Windows-1252 bytes 0x80..0x9F (0 where the byte is unused).
constexpr char32_t kCp1252High[32] = {
    0x20AC, 0, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0, 0x017D, 0,
    0, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0, 0x017E, 0x0178};

std::optional<std::vector<char32_t>> DecodeUtf8(std::string_view s) {
  std::vector<char32_t> out;
  for (std::size_t i = 0; i < s.size();) {
    auto b = static_cast<unsigned char>(s[i]);
    int extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
    if (extra < 0 || i + extra >= s.size() + (extra == 0 ? 1 : 0)) return std::nullopt;
    char32_t cp = extra == 0 ? b : (b & (0x3F >> extra));
    for (int k = 1; k <= extra; ++k) {
      auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) return std::nullopt;
      cp = (cp << 6) | (c & 0x3F);
    }
    out.push_back(cp);
    i += extra + 1;
  }
  return out;
}

std::optional<unsigned char> ToCp1252(char32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<unsigned char>(cp);
  for (int i = 0; i < 32; ++i)
    if (kCp1252High[i] != 0 && kCp1252High[i] == cp) return static_cast<unsigned char>(0x80 + i);
  return std::nullopt;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

std::string PasswordBytes(std::string_view utf8) {
  auto cps = DecodeUtf8(utf8);
  if (!cps) throw Error(ErrorKind::Unsupported, "the password is not valid UTF-8 text");
  if (cps->size() > kMaxPasswordChars)
    throw Error(ErrorKind::Unsupported, "a password has at most 14 characters");
  std::string out;
  for (char32_t cp : *cps) {
    auto b = ToCp1252(cp);
    if (!b) {
      std::string shown;
      AppendUtf8(shown, cp);
      throw Error(ErrorKind::Unsupported, "the password holds \"" + shown +
                                              "\", which the archive's code page (Windows-1252) cannot store; use "
                                              "letters, digits and signs of Western European languages");
    }
    out.push_back(static_cast<char>(*b));
  }
  return out;
}

bool PasswordMatches(std::string_view typed, std::string_view stored) {
  try {
    return PasswordBytes(typed) == stored;
  } catch (const Error&) {
    // Not a password this program writes now; an older archive may hold it
    // as UTF-8 (at most 14 characters).
    auto cps = DecodeUtf8(typed);
    return cps && cps->size() <= kMaxPasswordChars && typed == stored;
  }
}

std::string PasswordRecord(std::string_view utf8) {
  std::string bytes = PasswordBytes(utf8);
  std::string record(1, static_cast<char>(bytes.size()));
  return record + bytes;
}

}  // namespace ost
