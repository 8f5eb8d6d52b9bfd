#include "common/Contract.h"

#include <cstdio>
#include <cstdlib>

namespace ost {

void ContractFailed(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: precondition failed: %s\n", file, line, condition);
  std::abort();
}

}  // namespace ost
