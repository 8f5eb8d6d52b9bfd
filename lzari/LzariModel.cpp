#include "lzari/LzariModel.h"


namespace ost::lzari {

void SymbolModel::InitModel() {
  for (int s = kSymbols; s >= 1; --s) {
    symbolOfByte[s - 1] = s;
    byteOfSymbol[s] = s - 1;
    frequency[s] = 1;
  }
  frequency[0] = 0;  // sentinel: stops the search for equal frequencies
  byteOfSymbol[0] = 0;
  RebuildCounts();
}

void SymbolModel::RebuildCounts() {
  for (int i = kSymbols; i >= 1; --i) firstOfFrequency[frequency[i]] = static_cast<std::uint16_t>(i);
  int after = 0;
  for (int b = kBlocks - 1; b >= 0; --b) {
    afterBlock[b] = static_cast<std::int16_t>(after);
    int within = 0;
    for (int k = kBlock - 1; k >= 0; --k) {
      const int i = b * kBlock + k;
      inBlock[i] = static_cast<std::int16_t>(within);
      within += i <= kSymbols ? static_cast<int>(frequency[i]) : 0;
    }
    after += within;
  }
  total = static_cast<std::uint32_t>(after);
}

void SymbolModel::Halve() {
  for (int i = 1; i <= kSymbols; ++i) frequency[i] = (frequency[i] + 1) / 2;
  RebuildCounts();
}

}  // namespace ost::lzari
