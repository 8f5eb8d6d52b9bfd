// The entry points of the core that hostile input reaches, each wrapped so
// that one byte string runs through it. The libFuzzer targets call these, and
// so does the regression suite that replays every input a fuzzer ever found,
// so a replayed input takes exactly the path it took under the fuzzer.
//
// A run ends in one of two ways the core may choose: the input is accepted
// (decoded, restored, coded) or refused with an ost::Error. Anything else is
// a finding: another exception escapes, or the run breaks a promise the core
// makes (a restored file left behind after a refusal, a working folder that
// outlives its job, a round trip that does not give back its bytes), which
// is thrown as a Finding.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>

#include "common/Errors.h"
#include "common/Leftovers.h"

namespace ost::fuzz {

class Finding : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

struct Outcome {
  bool accepted = false;
  std::optional<ErrorKind> refusal;  // set when refused
  std::string message;               // the Error's text when refused
};

// The password the extraction target answers with, and the seeds carry.
inline constexpr const char* kSeedPassword = "fuzz";

// A private scratch folder for the process, made on first use: the targets'
// files go there, and the process's temporary folder (TMPDIR) points into it
// so that every job's working folder can be seen to go away.
class Scratch {
 public:
  static Scratch& Get();
  const std::filesystem::path& root() const { return root_; }
  const std::filesystem::path& temp() const { return temp_; }  // what TMPDIR names
  const std::filesystem::path& out() const { return out_; }    // restored files go here
  // Throws Finding when a working folder or a restored file was left behind.
  void CheckClean(const char* after) const;
  ~Scratch();

 private:
  Scratch();
  static constexpr const char* kPrefix = "ostinato-fuzz-";
  leftovers::Owned lock_;
  std::filesystem::path root_, temp_, out_;
};

// The whole extraction chain over the bytes as an archive, writing the
// restored file (which must then be complete, or absent after a refusal).
Outcome RunExtraction(std::span<const std::uint8_t> data);

// The LZARI decoder over the bytes as a coded stream; and the bytes coded
// and decoded again, which must give them back.
Outcome RunLzari(std::span<const std::uint8_t> data);

// The block decoder over five streams cut from the bytes: byte 0 bit 0 picks
// the predictor set, bytes 1..8 hold the lengths (16-bit little-endian) of
// the header, predictor-flag, sign and low-bits streams, which follow in
// that order; the rest is the high-part stream. Lengths beyond the input
// are cut short.
Outcome RunBlockDecoder(std::span<const std::uint8_t> data);

// Packs five streams in RunBlockDecoder's layout (for seeds and tests).
std::string PackBlockStreams(bool eightPredictors, const std::string& header, const std::string& flags,
                             const std::string& sign, const std::string& lower, const std::string& higher);

// The ".wav" header scan over the bytes.
Outcome RunWaveScan(std::span<const std::uint8_t> data);

// Compression and extraction of a source made from the bytes: byte 0 picks
// the rate (bits 0-1), ".wav" or ".pcm" (bit 2), the answer to the channel
// question (bit 3: two channels), no integrity record (bit 4) and a password
// (bit 5); the rest is the source file. The restored file must be the bytes
// of the source the archive keeps.
Outcome RunRoundTrip(std::span<const std::uint8_t> data);

// Runs `body` and turns an ost::Error into a refusal.
template <typename Body>
Outcome Guard(Body&& body) {
  Outcome outcome;
  try {
    body();
    outcome.accepted = true;
  } catch (const Error& e) {
    outcome.refusal = e.kind();
    outcome.message = e.what();
  }
  return outcome;
}

}  // namespace ost::fuzz
