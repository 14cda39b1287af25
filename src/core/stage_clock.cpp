#include "stage_clock.hpp"

#include <algorithm>

namespace algo {

void StageClock::close() {
    const Clock::time_point now = Clock::now();
    if (running_ != nullptr) {
        const double seconds = std::chrono::duration<double>(now - since_).count();
        auto found = std::find_if(seconds_.begin(), seconds_.end(),
                                  [&](const auto& entry) { return entry.first == running_; });
        if (found == seconds_.end()) {
            seconds_.emplace_back(running_, seconds);
        } else {
            found->second += seconds;
        }
    }
    since_ = now;
}

void StageClock::enter(const char* stage) {
    close();
    running_ = stage;
}

void StageClock::report() {
    close();
    running_ = nullptr;
    for (const auto& [stage, seconds] : seconds_) {
        if (PySys_Audit("algo.stage", "ssd", pipeline_, stage.c_str(), seconds) < 0) throw py::error_already_set();
    }
    seconds_.clear();
}

}  // namespace algo
