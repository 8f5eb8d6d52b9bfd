// Pre-analysis: whitens the source frame by frame with three cascaded
// linear-prediction stages (orders 2, 2 and 10). Each stage derives its
// predictor from the frame, quantises the log-area ratios, rebuilds the
// predictor from the quantised values and filters the frame with it. The
// indices (54 bits a frame) go to the analysis stream, the final residual
// (one 16-bit value a sample) to the residual file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "format/ArchiveFormat.h"

namespace ost {

class JobProgress;

class CAudioType {
 public:
  // Runs the whole pass: `source` to `residualPath` and `analysisPath`.
  // Only whole 16-bit samples are read. Throws Error(Io) on a file failure.
  // `sourceCrc`, when given, gets the CRC-32 of the whole source file. With a
  // `progress`, the caller is kept alive (Pump) while the frames run and may
  // cancel; the result is then false.
  bool Analyse(std::uint8_t waveHeader, const std::filesystem::path& source, const std::filesystem::path& residualPath,
               const std::filesystem::path& analysisPath, std::uint32_t* sourceCrc = nullptr,
               JobProgress* progress = nullptr);

  // One order-2 or order-10 stage over `length` samples of `in` (preceded in
  // memory by `order` history samples, the most recent at in[-1]); writes
  // `out` and appends the stage's indices to `indices`.
  static void AnalyseStage(const std::int16_t* in, int length, int order, std::int16_t* out, int* indices);
  // The same from the stage's autocorrelation r[0..order], made beforehand
  // (LevinsonToLar may change r[0]).
  static void AnalyseStage(const std::int16_t* in, int length, int order, float* r, std::int16_t* out, int* indices);

  // The steps of a stage, exposed for tests.
  // out[i] = in[i] - the prediction from in[i-1] .. in[i-order], low 16 bits.
  static void AnalysisFilter(const std::int16_t* in, int length, const float* a, int order, std::int16_t* out);
  static void LevinsonToLar(float* r, int order, float* k, float* lar);

  // Searches the quantiser indices of every frame against the coded cost of
  // the final residual instead of taking the nearest ones. `channels` (1 or
  // 2) tells how the block coder will see the residual.
  void SetSearch(bool search, int channels) {
    search_ = search;
    channels_ = channels;
  }

  // Threads for the frames (1 by default); the files are the same whatever the number.
  void SetThreads(unsigned threads) { threads_ = threads ? threads : 1; }

 private:
  unsigned threads_ = 1;
  bool search_ = false;
  int channels_ = 1;
};

}  // namespace ost
