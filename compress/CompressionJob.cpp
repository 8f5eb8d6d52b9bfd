#include "compress/CompressionJob.h"
#include "common/Errors.h"
namespace ost {
CompressionJob::CompressionJob(CompressionOptions o, JobProgress& p, ChannelQuestion& c) : options_(std::move(o)), progress_(p), channels_(c) {}
CompressionResult CompressionJob::Run() { throw Error(ErrorKind::Io, "not built yet"); }
}
