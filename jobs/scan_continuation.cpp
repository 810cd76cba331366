// Continuing an earlier deep scan: which engines can, and how one is made to
// start afresh instead.
#include "jobs/scan_job.h"

namespace velmira {

ScanContinuation DeepScanContinuation() {
  // Only the combined deep engine continues earlier scans.
  return {};
}

}  // namespace velmira
