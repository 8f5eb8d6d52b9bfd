// One libFuzzer target: OSTINATO_FUZZ_ENTRY names the entry point of
// FuzzTargets.h it drives. A finding, or any exception other than the
// core's Error (which the entry point turns into a refusal), aborts, so
// that libFuzzer keeps the input.
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "fuzz/FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    ost::fuzz::OSTINATO_FUZZ_ENTRY(std::span<const std::uint8_t>(data, size));
  } catch (const ost::fuzz::Finding& finding) {
    std::fprintf(stderr, "\nFINDING: %s\n", finding.what());
    std::abort();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "\nUNEXPECTED EXCEPTION: %s\n", e.what());
    std::abort();
  }
  return 0;
}
