#include "lzari/LzariModel.h"

#include <array>

namespace ost::lzari {

void SymbolModel::InitModel() {
  cumulative[kSymbols] = 0;
  for (int s = kSymbols; s >= 1; --s) {
    symbolOfByte[s - 1] = s;
    byteOfSymbol[s] = s - 1;
    frequency[s] = 1;
    cumulative[s - 1] = cumulative[s] + 1;
  }
  frequency[0] = 0;  // sentinel: stops the search for equal frequencies
  byteOfSymbol[0] = 0;
}

void SymbolModel::AdaptModel(int symbol) {
  if (cumulative[0] >= kFrequencyLimit) {
    std::uint32_t sum = 0;
    for (int i = kSymbols; i >= 1; --i) {
      cumulative[i] = sum;
      frequency[i] = (frequency[i] + 1) / 2;
      sum += frequency[i];
    }
    cumulative[0] = sum;
  }
  int i = symbol;
  while (frequency[i] == frequency[i - 1]) --i;
  if (i < symbol) {
    int byteI = byteOfSymbol[i];
    int byteS = byteOfSymbol[symbol];
    byteOfSymbol[i] = byteS;
    byteOfSymbol[symbol] = byteI;
    symbolOfByte[byteI] = symbol;
    symbolOfByte[byteS] = i;
  }
  ++frequency[i];
  for (int j = 0; j < i; ++j) ++cumulative[j];
}

const std::uint32_t* PositionCumulative() {
  static const std::array<std::uint32_t, kRingSize + 1> table = [] {
    std::array<std::uint32_t, kRingSize + 1> t{};
    t[kRingSize] = 0;
    for (int i = kRingSize; i >= 1; --i) t[i - 1] = t[i] + static_cast<std::uint32_t>(10000 / (i + 200));
    return t;
  }();
  return table.data();
}

}  // namespace ost::lzari
