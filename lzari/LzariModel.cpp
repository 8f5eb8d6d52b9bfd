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
  frequency[kSymbols + 1] = 0;
  std::int32_t after = 0;
  for (int b = kBlocks - 1; b >= 0; --b) {
    afterBlock[b] = after;
    std::int32_t within = 0;
    for (int k = kBlock - 1; k >= 0; --k) {
      const int i = b * kBlock + k;
      inBlock[i] = within;
      within += i <= kSymbols ? static_cast<std::int32_t>(frequency[i]) : 0;
    }
    after += within;
  }
  total = static_cast<std::uint32_t>(after);
}

void SymbolModel::AdaptModel(int symbol) {
  if (total >= kFrequencyLimit) {
    for (int i = 1; i <= kSymbols; ++i) frequency[i] = (frequency[i] + 1) / 2;
    RebuildCounts();
  }
  const std::uint32_t f = frequency[symbol];
  const int i = firstOfFrequency[f];
  // Symbol i takes the byte of `symbol` and the other way round; a no-op
  // when they are the same, done always so that there is no branch to miss.
  const int byteI = byteOfSymbol[i];
  const int byteS = byteOfSymbol[symbol];
  byteOfSymbol[i] = byteS;
  byteOfSymbol[symbol] = byteI;
  symbolOfByte[byteI] = symbol;
  symbolOfByte[byteS] = i;
  frequency[i] = f + 1;
  // Symbol i leaves the run of f (which now starts at i + 1, if it goes on)
  // and ends the run of f + 1 (which starts at i unless it was there before).
  firstOfFrequency[f] = static_cast<std::uint16_t>(i + 1);
  const std::uint16_t runAbove = firstOfFrequency[f + 1];
  firstOfFrequency[f + 1] = frequency[i - 1] == f + 1 ? runAbove : static_cast<std::uint16_t>(i);
  ++total;
  // Every cumulative count below i grows by one.
  const std::int32_t block = i >> kBlockBits;
  const Lanes blocks = {block, block, block, block};
  const Lanes first = {0, 1, 2, 3};
  const Lanes four = {4, 4, 4, 4};
  Lanes index = first;
  for (int b = 0; b < kBlocks; b += 4, index += four) Store(afterBlock + b, Load(afterBlock + b) - (index < blocks));
  std::int32_t* entries = inBlock + block * kBlock;
  const std::int32_t within = i & (kBlock - 1);
  const Lanes withins = {within, within, within, within};
  index = first;
  for (int k = 0; k < kBlock; k += 4, index += four) Store(entries + k, Load(entries + k) - (index < withins));
}

}  // namespace ost::lzari
