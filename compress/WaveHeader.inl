// Implementation of ScanWaveHeader, a template over any byte source whose
// Get() returns a byte or EOF.
#include <cstdio>

namespace ost {

template <typename Source>
std::optional<int> ScanWaveHeader(Source& in) {
  static constexpr char kTag[4] = {'f', 'm', 't', ' '};
  for (;;) {
    int c = in.Get();
    if (c == EOF) return std::nullopt;
    if (c != 'f') continue;
    // A mismatch goes back to looking for "f" with the next byte; the byte
    // that did not match is not itself taken as a possible "f".
    bool matched = true;
    for (int i = 1; i < 4 && matched; ++i) {
      c = in.Get();
      if (c == EOF) return std::nullopt;
      matched = c == kTag[i];
    }
    if (!matched) continue;
    int byte9 = 0;
    for (int i = 4; i <= 9; ++i) {
      c = in.Get();
      if (c == EOF) return std::nullopt;
      byte9 = c;
    }
    const int byte10 = in.Get();
    if (byte10 == EOF) return std::nullopt;
    return (byte9 & 15) + (byte10 & 15);
  }
}

}  // namespace ost
