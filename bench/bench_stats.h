// Order statistics and the one-figure-per-line output every benchmark prints.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace qorbench {

// The q-quantile (0..1) by the nearest-rank method; 0 for no samples.
inline double Quantile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(v.size())));
    return v[std::min(v.size() - 1, rank == 0 ? 0 : rank - 1)];
}

inline double Median(const std::vector<double>& v) { return Quantile(v, 0.5); }
inline double P99(const std::vector<double>& v) { return Quantile(v, 0.99); }
inline double Max(const std::vector<double>& v) { return v.empty() ? 0 : *std::max_element(v.begin(), v.end()); }

// "name: value unit"
inline void Figure(const std::string& name, double value, const std::string& unit, int decimals = 1) {
    std::printf("%s: %.*f %s\n", name.c_str(), decimals, value, unit.c_str());
    std::fflush(stdout);
}

// name_median and name_p99 of one sample set.
inline void Distribution(const std::string& name, const std::vector<double>& v, const std::string& unit,
                         int decimals = 1) {
    Figure(name + "_median", Median(v), unit, decimals);
    Figure(name + "_p99", P99(v), unit, decimals);
}

}  // namespace qorbench
