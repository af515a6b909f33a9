// The median wall time of a piece of work, the figure every benchmark here prints.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <vector>

namespace qelto::bench {

// The median wall time of `runs` calls of `work` (at least one), in milliseconds.
inline double medianMs(int runs, const std::function<void()>& work) {
    std::vector<double> times;
    for (int i = 0; i < std::max(runs, 1); ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        times.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

}  // namespace qelto::bench
