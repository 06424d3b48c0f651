// The HTML report: a day of figures stays small, thinning keeps every spike and
// event, and a real headless browser draws every plot.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>

#include "html_report.h"
#include "process.h"

namespace {

cli::HtmlInput day() {
    cli::HtmlInput in;
    in.verdict = "fail";
    in.options = {{"direction", "both"}, {"rate", "1000"}};
    in.failures = {"e2u: lost 3 > limit 0"};
    for (const char* name : {"e2u", "u2e"}) {
        cli::HtmlSeries s;
        s.name = name;
        s.figures.sent = 86400000;
        uint64_t lost = 0;
        for (int t = 1; t <= 86400; ++t) {
            if (t % 20000 == 0) ++lost;
            s.points.push_back({double(t), 150.0 + t % 7, t == 50000 ? 9000.0 : 400.0 + t % 11,
                                lost, 0, 0});
        }
        s.latency = {{100000, 50}, {125893, 900}, {158489, 40}, {1000000, 3}};
        in.series.push_back(s);
    }
    return in;
}

}  // namespace

TEST(HtmlReportTest, ADayStaysSmallAndThinningKeepsSpikesAndEvents) {
    const cli::HtmlInput in = day();
    const std::string html = cli::htmlReport(in);
    EXPECT_LT(html.size(), 5u << 20);
    EXPECT_EQ(html.find("http"), std::string::npos) << "nothing is fetched";
    const auto thin = cli::thin(in.series[0].points, 1500);
    ASSERT_LE(thin.size(), 1500u);
    double top = 0;
    for (const auto& p : thin) top = std::max(top, p.p99_us);
    EXPECT_EQ(top, 9000.0);
    EXPECT_EQ(thin.back().lost, 4u);
    EXPECT_EQ(thin.back().t_s, 86400.0);
}

TEST(HtmlReportTest, AHeadlessBrowserDrawsEveryPlot) {
    if (access("/usr/bin/chromium", X_OK) != 0) GTEST_SKIP() << "chromium is not installed";
    const std::string path = ::testing::TempDir() + "convbench-report.html";
    std::ofstream(path) << cli::htmlReport(day());
    const std::string profile = ::testing::TempDir() + "convbench-chromium";
    const auto r = testsupport::runProcess(
        {"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--no-first-run", "--user-data-dir=" + profile, "--dump-dom", "file://" + path},
        60);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("data-plots-drawn=\"6\""), std::string::npos) << r.out.substr(0, 400);
}
