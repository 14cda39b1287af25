// BLAS on one thread while the health model is fitted or applied.
#pragma once

#include "python.hpp"

namespace algo {

// Limits BLAS to one thread for its lifetime, unless the caller limited BLAS
// already; `algo.blas` holds the rule, shared with the host layers. The
// model's matrices are small, so more threads buy nothing, and on a busy
// machine they only wait for each other.
class BlasOnOneThread {
public:
    BlasOnOneThread();
    ~BlasOnOneThread();
    BlasOnOneThread(const BlasOnOneThread&) = delete;
    BlasOnOneThread& operator=(const BlasOnOneThread&) = delete;

private:
    py::object limiter_;  // None when nothing was changed
};

// Imports the rule's module, so that it reads the libraries' starting
// thread counts before any call of the module that loads it.
void import_blas_rule();

}  // namespace algo
