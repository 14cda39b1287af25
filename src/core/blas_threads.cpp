#include "core/blas_threads.hpp"

namespace algo {

namespace {

py::module_ blas_rule() { return py::module_::import("algo.blas"); }

}  // namespace

BlasOnOneThread::BlasOnOneThread() : limiter_(blas_rule().attr("limit_to_one_thread")()) {}

BlasOnOneThread::~BlasOnOneThread() {
    if (limiter_.is_none()) return;
    try {
        limiter_.attr("restore_original_limits")();
    } catch (py::error_already_set& error) {
        // A destructor may not throw, and the call's own result or error matters more.
        error.discard_as_unraisable("restoring the BLAS thread limits");
    }
}

void import_blas_rule() { blas_rule(); }

}  // namespace algo
