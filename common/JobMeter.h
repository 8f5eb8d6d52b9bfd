// One progress bar over a whole job. A job runs several passes of very
// different cost (analysis, block coding, stream coding, writing); each
// pass counts its own units, and the meter turns them into steps of one
// bar of kUnits, each pass owning a share in proportion to its measured
// cost, so that the bar starts when the job starts, moves evenly and ends
// exactly at its end.
#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "common/JobInterfaces.h"

namespace ost {

class JobMeter {
 public:
  static constexpr std::uint64_t kUnits = 1000;

  // Opens the bar (Begin with `text` and kUnits). `weights`: the passes'
  // relative costs, in the order they run.
  JobMeter(JobProgress& out, std::string_view text, std::initializer_list<double> weights);
  JobMeter(const JobMeter&) = delete;
  JobMeter& operator=(const JobMeter&) = delete;
  // Closes the bar (End) however the job ended.
  ~JobMeter();

  // The progress of the next pass: its Begin sets the pass's units, each
  // Step moves the bar by the pass's share over them, End fills the share.
  // Cancel and pumping reach the caller's progress unchanged.
  JobProgress& NextPass();
  // Fills the bar to its end (the job has finished).
  void Finish();
  bool IsCancelled() { return out_.IsCancelled(); }

 private:
  class Pass final : public JobProgress {
   public:
    explicit Pass(JobMeter& meter) : meter_(meter) {}
    void Begin(std::string_view, std::uint64_t units) override;
    void Step() override;
    bool IsCancelled() override { return meter_.out_.IsCancelled(); }
    void End() override {}
    void Pump() override;

   private:
    friend class JobMeter;
    JobMeter& meter_;
    std::uint64_t units_ = 0;
    std::uint64_t done_ = 0;
  };

  void MoveTo(std::uint64_t position);

  JobProgress& out_;
  std::vector<std::uint64_t> ends_;  // where each pass's share ends on the bar
  std::size_t pass_ = 0;             // passes started so far
  std::uint64_t position_ = 0;       // steps given to out_
  std::chrono::steady_clock::time_point lastPump_{};
  Pass current_{*this};
  bool ended_ = false;
};

}  // namespace ost
