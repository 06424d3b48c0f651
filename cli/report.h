// The runner's verdict and its reports: the summary for people, JSON for
// records, CSV rows for plots, JUnit XML for CI servers, and the live
// progress line.
#pragma once

#include <string>
#include <vector>

#include "direction.h"
#include "html_report.h"
#include "options.h"
#include "session.h"

namespace cli {

constexpr int kJsonSchema = 3;   // bump when a field changes meaning or goes away
constexpr int kCsvFormat = 2;    // bump when a column moves or goes away
constexpr int kJunitFormat = 1;  // bump when an element or attribute changes meaning

struct DirectionResult {
    std::string name;  // "e2u", "u2e"
    measure::Figures figures;
};

struct Failure {
    std::string channel;
    std::string direction;
    std::string figure;  // "lost", "latency_p99_ms", ...
    double value = 0;
    double limit = 0;
};

struct ChannelResult {
    Channel channel;
    std::vector<DirectionResult> directions;
    traffic::LinkFigures link;      // TCP channels
    traffic::SerialFigures serial;  // channels with a serial port
    traffic::LineFigures line;      // the port's line read back (final results)
    // What an rfc2217 channel's converter answered (final results).
    traffic::Rfc2217Figures rfc2217;
    std::string simulator_json;     // the simulated converter's own report, with --simulate
    std::vector<Failure> failures;  // this channel's, filled by judge()
    bool inconclusive = false;      // filled by judge()
};

struct Result {
    Options options;
    std::vector<ChannelResult> channels;
    std::vector<Failure> failures;  // every channel's
    std::vector<std::string> warnings;
    // Why the figures cannot be trusted (the tester's own port gone, the
    // tester held up while the run failed): filled by judge().
    std::vector<std::string> inconclusive;
    bool interrupted = false;
    double elapsed_s = 0;
    std::string started_at;  // UTC, ISO 8601

    std::string run_id;  // the run's record id (a UUID)

    std::string verdict() const {
        if (interrupted) return "interrupted";
        if (!inconclusive.empty()) return "inconclusive";
        return failures.empty() ? "pass" : "fail";
    }
    // What the figures say of the unit, apart from how the run ended: a limit
    // broken before an interrupt is still a fail; an interrupted run that broke
    // none has not shown a pass.
    std::string outcome() const {
        if (!inconclusive.empty()) return "inconclusive";
        if (!failures.empty()) return "fail";
        return interrupted ? "inconclusive" : "pass";
    }
    std::string status() const { return interrupted ? "interrupted" : "completed"; }
};

// Fills the failures, the warnings and the reasons a run is inconclusive from
// the figures and the limits: any packet not sent because the tester's own
// serial port was gone, or a failing run while the tester was held up longer
// than options.tester_stall_ms. A pass stays a pass.
void judge(Result* result);
std::string summaryText(const Result& result);
std::string jsonReport(const Result& result);
std::string junitReport(const Result& result);
// The HTML report's text parts and one series per channel and direction, in the
// order of result.channels and their directions (the caller adds the time line).
HtmlInput htmlInput(const Result& result);
std::string csvHeader();
// Rows of one second; run_dut fills the dut column of channels without their own.
std::string csvRows(double t_s, const std::vector<ChannelResult>& now,
                    const std::string& run_dut = "");
// One line for every channel together: a single channel shows each direction,
// several show the totals, the worst channel and the links down.
std::string progressLine(double elapsed_s, double total_s, const std::vector<ChannelResult>& now);

// Text made valid UTF-8: every byte that does not belong to a well-formed
// sequence (no overlong forms, no surrogates, nothing past U+10FFFF) becomes
// U+FFFD.
std::string validUtf8(const std::string& s);
// Text as a terminal may show it: valid UTF-8, control characters visible
// (ESC as \x1b, a newline as \x0a, C1 controls as \u009b).
std::string shown(const std::string& s);
// One number as printf writes it with the format f ("%.3f").
std::string fmt(const char* f, double v);
// One CSV field (RFC 4180): valid UTF-8, quoted when it holds a comma, a
// double quote, CR or LF, with its quotes doubled.
std::string csvField(const std::string& s);
// Text for an XML attribute or element: valid UTF-8, markup escaped, control
// characters other than tab, newline and carriage return replaced by U+FFFD.
std::string xmlText(const std::string& s);

}  // namespace cli
