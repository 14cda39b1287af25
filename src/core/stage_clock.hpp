// Where a pipeline call spends its time, for profilers.
#pragma once

#include "python.hpp"

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace algo {

// The seconds a pipeline call spends in each of its stages. `report` hands
// them to the interpreter's audit hooks as events "algo.stage" with the
// arguments (pipeline, stage, seconds), one per stage in the order the stages
// were first entered; without hooks the events cost nothing. A hook that
// raises aborts the call, as audit hooks do.
class StageClock {
public:
    explicit StageClock(const char* pipeline) : pipeline_(pipeline), since_(Clock::now()) {}

    // Closes the running stage and starts `stage`.
    void enter(const char* stage);
    void report();

private:
    using Clock = std::chrono::steady_clock;
    void close();

    const char* pipeline_;
    const char* running_ = nullptr;
    Clock::time_point since_;
    std::vector<std::pair<std::string, double>> seconds_;
};

}  // namespace algo
