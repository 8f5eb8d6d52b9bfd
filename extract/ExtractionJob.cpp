#include "extract/ExtractionJob.h"
#include "common/Errors.h"
namespace ost {
ExtractionJob::ExtractionJob(ExtractionOptions o, JobProgress& p, PasswordQuestion* q) : options_(std::move(o)), progress_(p), password_(q) {}
ExtractionResult ExtractionJob::Run() { throw Error(ErrorKind::Io, "not built yet"); }
}
