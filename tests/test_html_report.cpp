// The HTML report: a day of figures stays small, thinning keeps every spike and
// event, and a real headless browser draws every plot.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "html_report.h"
#include "scratch.h"
#include "xml_reader.h"

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
            s.points.push_back(
                {double(t), 150.0 + t % 7, t == 50000 ? 9000.0 : 400.0 + t % 11, lost, 0, 0});
        }
        s.latency = {{100000, 50}, {125893, 900}, {158489, 40}, {1000000, 3}};
        in.series.push_back(s);
    }
    return in;
}

}  // namespace

// A day stays small and fetches nothing, thinning keeps every spike and event,
// and a real headless browser draws every plot.
TEST(HtmlReportTest, ADayStaysSmallKeepsItsSpikesAndEveryPlotIsDrawn) {
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

    if (access("/usr/bin/chromium", X_OK) != 0) GTEST_SKIP() << "chromium is not installed";
    // A folder of its own: two runs at once must not share a browser profile.
    const testsupport::ScratchDir dir;
    const std::string path = dir.file("report.html", html);
    const std::string profile = dir / "chromium";
    const auto r = testsupport::runProcess(
        {"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--no-first-run", "--user-data-dir=" + profile, "--dump-dom", "file://" + path},
        60);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("data-plots-drawn=\"6\""), std::string::npos) << r.out.substr(0, 400);
}

// The events plot has a tick for each second with events, the first included;
// the histogram's bars sit on the bins' grid, an empty bin a gap of a bar's width.
TEST(HtmlReportTest, EventsFromTheFirstSecondAndEmptyBinsAsGaps) {
    cli::HtmlInput in;
    in.verdict = "fail";
    cli::HtmlSeries s;
    s.name = "e2u";
    // Lost counts so far: 3 in the first second, 1 more in the third.
    const uint64_t lost[] = {3, 3, 4, 4, 4};
    for (int t = 1; t <= 5; ++t)
        s.points.push_back({double(t), 100, 200, lost[t - 1], 0, uint64_t(t == 5)});
    // 10 bins a decade: 0.1 ms, 0.126 ms, then 7 empty bins, then 1 ms.
    s.latency = {{100000, 5}, {125893, 9}, {1000000, 2}};
    in.series.push_back(s);
    // The plots, each parsed back as XML: latency over time, histogram, events.
    const std::string html = cli::htmlReport(in);
    std::vector<testsupport::Xml> p;
    for (size_t at = html.find("<svg"); at != std::string::npos; at = html.find("<svg", at + 1)) {
        std::string error;
        const size_t end = html.find("</svg>", at) + 6;
        EXPECT_TRUE(testsupport::parseXml(html.substr(at, end - at), &p.emplace_back(), &error))
            << error;
    }
    ASSERT_EQ(p.size(), 3u);

    std::vector<double> lost_x, reordered_x;
    for (const testsupport::Xml* l : p[2].all("line")) {
        if (l->attr("class") == "lost") lost_x.push_back(std::stod(l->attr("x1")));
        if (l->attr("class") == "reordered") reordered_x.push_back(std::stod(l->attr("x1")));
    }
    // Seconds 1 and 3 on an axis from 0 to 5 s; the lost ticks sit 2 px left of the second.
    ASSERT_EQ(lost_x.size(), 2u);
    ASSERT_EQ(reordered_x.size(), 1u);
    const double per_s = (reordered_x[0] - 2 - lost_x[0] - 2) / 4;  // seconds 5 and 1
    EXPECT_NEAR(lost_x[1] - lost_x[0], 2 * per_s, 0.2);
    EXPECT_NEAR(lost_x[0] + 2 - per_s, 64, 0.2);  // t = 0 at the plot's left edge

    std::vector<double> bar_x;
    for (const testsupport::Xml* r : p[1].all("rect")) bar_x.push_back(std::stod(r->attr("x")));
    ASSERT_EQ(bar_x.size(), 3u);
    // Bins 0.1 ms (10^-4 s) to 1 ms: 11 slots across the plot, bars in slots 0, 1 and 10.
    const double slot = (760 - 64 - 12) / 11.0;
    const int want[] = {0, 1, 10};
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(bar_x[k], 64 + 1 + slot * want[k], 0.1) << k;
}
