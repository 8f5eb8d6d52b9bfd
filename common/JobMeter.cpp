#include "common/JobMeter.h"

#include <algorithm>

namespace ost {

JobMeter::JobMeter(JobProgress& out, std::string_view text, std::initializer_list<double> weights) : out_(out) {
  double total = 0;
  for (double w : weights) total += w;
  double sum = 0;
  for (double w : weights) {
    sum += w;
    ends_.push_back(total > 0 ? static_cast<std::uint64_t>(sum / total * kUnits + 0.5) : kUnits);
  }
  if (!ends_.empty()) ends_.back() = kUnits;
  out_.Begin(text, kUnits);
}

JobMeter::~JobMeter() {
  if (!ended_) out_.End();
}

JobProgress& JobMeter::NextPass() {
  // The pass before ends where its share ends, however it counted.
  if (pass_ > 0) MoveTo(ends_[std::min(pass_, ends_.size()) - 1]);
  ++pass_;
  current_.units_ = 0;
  current_.done_ = 0;
  return current_;
}

void JobMeter::Finish() {
  MoveTo(kUnits);
  ended_ = true;
  out_.End();
}

void JobMeter::MoveTo(std::uint64_t position) {
  position = std::min(position, kUnits);
  for (; position_ < position; ++position_) out_.Step();
}

void JobMeter::Pass::Begin(std::string_view, std::uint64_t units) {
  units_ = units;
  done_ = 0;
}

void JobMeter::Pass::Step() {
  JobMeter& m = meter_;
  if (done_ < units_) ++done_;
  const std::size_t i = std::min(m.pass_, m.ends_.size());
  const std::uint64_t start = i >= 2 ? m.ends_[i - 2] : 0;
  const std::uint64_t end = i >= 1 ? m.ends_[i - 1] : kUnits;
  const std::uint64_t at = units_ ? start + (end - start) * done_ / units_ : start;
  if (at > m.position_) {
    m.MoveTo(at);
    m.lastPump_ = std::chrono::steady_clock::now();
  } else {
    Pump();  // passes with many small units still keep the caller alive
  }
}

void JobMeter::Pass::Pump() {
  const auto now = std::chrono::steady_clock::now();
  if (now - meter_.lastPump_ < std::chrono::milliseconds(20)) return;
  meter_.lastPump_ = now;
  meter_.out_.Pump();
}

}  // namespace ost
