// The runner's verdict and its reports: the summary for people, JSON for
// records, CSV rows for plots, and the live progress line.
#pragma once

#include <string>
#include <vector>

#include "direction.h"
#include "options.h"

namespace cli {

constexpr int kJsonSchema = 1;  // bump when a field changes meaning or goes away
constexpr int kCsvFormat = 1;

struct DirectionResult {
    std::string name;  // "e2u", "u2e"
    measure::Figures figures;
};

struct Failure {
    std::string direction;
    std::string figure;  // "lost", "latency_p99_ms", ...
    double value = 0;
    double limit = 0;
};

struct Result {
    Options options;
    std::vector<DirectionResult> directions;
    std::vector<Failure> failures;
    std::vector<std::string> warnings;
    bool interrupted = false;
    double elapsed_s = 0;
    std::string started_at;  // UTC, ISO 8601
    std::string simulator_json;  // the simulated converter's own report, with --simulate

    std::string verdict() const {
        return interrupted ? "interrupted" : (failures.empty() ? "pass" : "fail");
    }
};

// Fills result->failures and result->warnings from the figures and the limits.
void judge(Result* result);
std::string summaryText(const Result& result);
std::string jsonReport(const Result& result);
std::string csvHeader();
std::string csvRows(double t_s, const std::vector<DirectionResult>& now);
std::string progressLine(double elapsed_s, double total_s,
                         const std::vector<DirectionResult>& now);

}  // namespace cli
