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
  total = 0;
  for (int j = 1; j < kTreeSize; ++j) tree[j] = j <= kSymbols ? frequency[j] : 0;
  tree[0] = 0;
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
  ++total;
  for (int j = i; j < kTreeSize; j += j & -j) ++tree[j];
}

}  // namespace ost::lzari
