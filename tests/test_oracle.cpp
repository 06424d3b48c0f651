// The measuring core against the independent model of tests/fuzz/measure_oracle.h
// on random runs: every count equal, every timing figure equal to its exact
// value (quantiles within the histogram's 1/256).
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "fuzz/measure_oracle.h"

TEST(OracleTest, CoreFiguresEqualTheModelsOnRandomRuns) {
    std::mt19937 rng(20261207);
    int judged = 0, discarded = 0;
    for (int i = 0; i < 1500; ++i) {
        std::vector<uint8_t> in(64 + rng() % 8000);
        for (uint8_t& b : in) b = static_cast<uint8_t>(rng());
        std::string why;
        const oracle::Outcome o = oracle::Run().play(in.data(), in.size(), &why);
        ASSERT_NE(o, oracle::Outcome::Fail) << "case " << i << ": " << why;
        (o == oracle::Outcome::Pass ? judged : discarded)++;
    }
    // Chance patterns are rare: nearly every case is judged.
    EXPECT_GT(judged, 4 * discarded) << judged << " judged, " << discarded << " discarded";
}
