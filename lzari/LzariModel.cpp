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
  RebuildTree();
}

void SymbolModel::RebuildTree() {
  for (int i = kSymbols; i >= 1; --i) firstOfFrequency[frequency[i]] = static_cast<std::uint16_t>(i);
  total = 0;
  for (int j = 1; j < kTreeSize; ++j) tree[j] = j <= kSymbols ? frequency[j] : 0;
  tree[0] = 0;
  tree[kTreeSize] = 0;
  for (int j = 1; j < kTreeSize; ++j) {
    total += j <= kSymbols ? frequency[j] : 0;
    const int up = j + (j & -j);
    if (up < kTreeSize) tree[up] += tree[j];
  }
}

void SymbolModel::AdaptModel(int symbol) {
  if (total >= kFrequencyLimit) {
    for (int i = 1; i <= kSymbols; ++i) frequency[i] = (frequency[i] + 1) / 2;
    RebuildTree();
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
  // A fixed number of steps; those past the tree land on the scratch entry.
  int j = i;
  for (int k = 0; k < kTreeBits; ++k) {
    ++tree[j < kTreeSize ? j : kTreeSize];
    j += j & -j;
  }
}

}  // namespace ost::lzari
