// Preconditions a caller must keep (buffer sizes, ranges of counts): checked
// in debug and sanitizer builds, where a broken one stops the program at
// once with its place, and compiled out of release builds. They guard
// against programming errors only; whatever a user or a file can cause is
// an Error.
#pragma once

namespace ost {
[[noreturn]] void ContractFailed(const char* condition, const char* file, int line);
}

#if !defined(NDEBUG) || defined(OSTINATO_CHECKS)
#define OST_EXPECTS(condition) ((condition) ? void(0) : ::ost::ContractFailed(#condition, __FILE__, __LINE__))
#else
#define OST_EXPECTS(condition) void(0)
#endif
