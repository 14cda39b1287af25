// Status records of the guarded pipelines.
//
// A guarded pipeline never lets a failure of its body reach the host: it
// returns its result with four status keys last ("is_error", "error_code",
// "error_stage", "error_message"), all strings. The stage code names the stage
// that was running, the data note explains a likely cause; a note never stops
// a run by itself.
#pragma once

#include "python.hpp"

#include <string>
#include <utility>

namespace algo::status {

inline constexpr const char* kNone = "None";

// Data notes.
inline constexpr const char* kNoteCodebookEmpty =
    "No data available. After codebook filtering, the remaining data is insufficient. Please confirm that most "
    "of the modeling values fall within the codebook ranges.";
inline constexpr const char* kNoteDowntime =
    "No data available. Please verify whether most data are in a downtime status.";
inline constexpr const char* kNoteTooFewRows = "Data is not sufficient for modeling.";
inline constexpr const char* kNoteFeatureMismatch =
    "The sensor features for deadline learning don\u2019t match the model\u2019s training features. Please make "
    "sure they are consistent.";

// Responses of the retrying cleaning pipeline.
inline constexpr const char* kRespondMeetsStandard = "Data cleaned successfully. Robustness index meets standard.";
inline constexpr const char* kRespondBelowStandard =
    "Robustness index still below standard. Recommended to select another time period for modeling.";

// Where a pipeline is and what it has noticed so far.
struct Progress {
    explicit Progress(std::string start_stage) : stage(std::move(start_stage)) {}
    void enter(const char* code) { stage = code; }
    void notice(const char* text) { note = text; }

    std::string stage;
    std::string note = kNone;
};

// Appends the four status keys of a successful run.
void append_success(py::dict& result, const Progress& progress);

// Appends the four status keys of a failed run with the exception text.
void append_failure(py::dict& result, const Progress& progress, const std::string& message);

namespace detail {
// The text (`str(e)`) of the exception being handled, for exceptions of the
// host's Exception family; rethrows anything else (KeyboardInterrupt,
// SystemExit). Call only from a catch block.
std::string exception_text();
}  // namespace detail

// Runs `body`; when it raises an exception of the host's Exception family the
// result is `failure(str(e))` instead.
template <class Body, class Failure>
py::object guarded(Body&& body, Failure&& failure) {
    std::string message;
    try {
        return body();
    } catch (...) {
        message = detail::exception_text();
    }
    return failure(message);
}

}  // namespace algo::status
