// Whole-run benchmark: the real window (offscreen) and engine, socat as the
// converter on 127.0.0.1, in each direction. Prints
//   - CPU of the whole process over a 10-second run at the fixed rate;
//   - the sender period: gaps between packets as the receiver sees them come
//     out of the converter's far side (median, 99th percentile, worst);
//   - STOP latency: click to the return of stop(), 20 times (median, worst).
//   - sender pacing: 600 periods at 10 packets/s in each direction at once,
//     the engine's workers alone (no window) feeding a monitor through socat:
//     mean period, total time against the 60.0 s it should take, and the
//     run's figures. --pacing runs only this part.
// With --screenshot FILE it instead saves the window, 3 s into an
// "ethernet -> uart" run, as a PNG (scripts/screenshot, for the README).
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QStatusBar>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <vector>

#include "client.h"
#include "loopback.h"
#include "mainwindow.h"
#include "server.h"
#include "shared_items.h"
#include "socat.h"
#include "traffic.h"
#include "window_access.h"

namespace {

using Clock = std::chrono::steady_clock;

// Runs the event loop for ms milliseconds without spinning.
void spin(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool until(const std::function<bool()>& pred, int ms) {
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > ms) return false;
        spin(5);
    }
    return true;
}

double cpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

struct Result {
    double cpu_pct = 0;
    int sent = 0, arrived = 0;
    std::vector<double> gaps_ms, stop_ms;
};

// The window wired to a socat converter on 127.0.0.1, its form filled in for
// a run in the given direction.
struct Rig {
    const unsigned short near_port = testsupport::freeUdpPort();
    const unsigned short far_port = testsupport::freeUdpPort();
    testsupport::SocatBridge conv{near_port, far_port, 300};
    const QString port = QString::fromStdString(conv.ptyPath());
    std::unique_ptr<MainWindow> w;
    std::unique_ptr<MainWindowTestAccess> f;

    bool setUp(int direction) {
        if (!conv.ok()) {
            std::fprintf(stderr, "socat: %s\n", conv.error().c_str());
            return false;
        }
        qputenv("CONVBENCH_EXTRA_PORTS", port.toUtf8());
        w = std::make_unique<MainWindow>();
        qunsetenv("CONVBENCH_EXTRA_PORTS");
        f = std::make_unique<MainWindowTestAccess>(*w);
        w->show();
        f->com->setCurrentIndex(f->com->findText(port));
        f->convert->setCurrentIndex(direction);
        f->dest_ip->setText("127.0.0.1");  // the socat converter, on loopback
        f->dest_port->setText(QString::number(near_port));
        f->src_port->setText(QString::number(far_port));
        return f->com->currentText() == port && f->dest_ip->text() == "127.0.0.1";
    }
};

bool runDirection(int direction, Result& r) {
    Rig rig;
    if (!rig.setUp(direction)) return false;
    MainWindow& w = *rig.w;
    MainWindowTestAccess& f = *rig.f;
    // Arrival times, taken on the receiver's thread as it counts each packet.
    std::mutex m;
    std::vector<Clock::time_point> arrivals;

    QObject::connect(&w, &MainWindow::Event_updateServerCnt, [&](QString cnt) {
        if (cnt.toInt() <= 0) return;
        std::lock_guard<std::mutex> l(m);
        arrivals.push_back(Clock::now());
    });

    auto sent = [&] { return f.sent->text().toInt(); };
    auto arrived = [&] { return f.arrived->text().toInt(); };
    auto closed = [&] { return f.sent->text() == "0" && f.arrived->text() == "0"; };

    f.btn->click();
    if (!until([&] { return arrived() >= 3; }, 10000)) {
        std::fprintf(stderr, "no packets arrived: %s / %s\n", qPrintable(f.client_msg->text()),
                     qPrintable(f.server_msg->text()));
        f.btn->click();
        return false;
    }
    {
        std::lock_guard<std::mutex> l(m);
        arrivals.clear();
    }
    const int sent0 = sent(), arrived0 = arrived();
    const double cpu0 = cpuSeconds();
    const auto wall0 = Clock::now();
    spin(10000);
    const double cpu = cpuSeconds() - cpu0;
    const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
    r.cpu_pct = 100.0 * cpu / wall;
    r.sent = sent() - sent0;
    r.arrived = arrived() - arrived0;
    f.btn->click();
    until(closed, 5000);
    {
        std::lock_guard<std::mutex> l(m);
        for (size_t i = 1; i < arrivals.size(); ++i)
            r.gaps_ms.push_back(
                std::chrono::duration<double, std::milli>(arrivals[i] - arrivals[i - 1]).count());
    }

    // STOP at a random point of the cycle, 20 times.
    std::mt19937 rng(12345 + direction);
    std::uniform_int_distribution<int> phase(300, 700);
    for (int i = 0; i < 20; ++i) {
        f.btn->click();
        spin(phase(rng));
        const auto t0 = Clock::now();
        f.btn->click();  // myclick -> stop(), synchronous
        r.stop_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        until(closed, 5000);
    }
    return true;
}

// One direction of the pacing run: a sender and a receiver of the engine on
// either side of a socat converter, feeding one monitor.
struct PacedPath {
    const unsigned short near_port = testsupport::freeUdpPort();
    const unsigned short far_port = testsupport::freeUdpPort();
    testsupport::SocatBridge conv{near_port, far_port, 300};
    traffic::Monitor monitor{measure::Format::Counter8, 1000000000};
    client c;
    server s;

    bool start(int direction) {
        if (!conv.ok()) {
            std::fprintf(stderr, "socat: %s\n", conv.error().c_str());
            return false;
        }
        const std::string tty = conv.ptyPath();
        c.m_monitor = s.m_monitor = &monitor;
        s.start_server(direction, 0, tty, far_port);
        c.start_client(direction, 0, tty, "127.0.0.1", near_port);
        return true;
    }
    uint64_t sent() { return monitor.figures(traffic::nowNs()).sent; }
    measure::Figures stop() {
        c.stop_client();
        spin(300);  // the last packets cross
        s.stop_server();
        return monitor.finish(traffic::nowNs(), true);
    }
};

int pacing() {
    constexpr int kPeriods = 600;
    std::printf(
        "Sender pacing: %d periods at 10 packets/s (should take 60.0 s), the engine's\n"
        "workers through socat on 127.0.0.1, both directions at once\n\n",
        kPeriods);
    PacedPath paths[2];
    const int dirs[2] = {CONVERT_ETHERNET_TO_UART, CONVERT_UART_TO_ETHERNET};
    for (int i = 0; i < 2; ++i)
        if (!paths[i].start(dirs[i])) return 1;
    // Period k ends as packet k+1 is sent.
    until([&] { return paths[0].sent() > kPeriods && paths[1].sent() > kPeriods; }, 70000);
    std::printf("%-18s %6s %14s %12s %10s %6s %22s\n", "direction", "sent", "mean period",
                "600 periods", "drift", "lost", "latency p50 / p99");
    int rc = 0;
    for (int i = 0; i < 2; ++i) {
        const measure::Figures f = paths[i].stop();
        const char* name =
            dirs[i] == CONVERT_ETHERNET_TO_UART ? "ethernet -> uart" : "uart -> ethernet";
        if (f.sent <= kPeriods || f.send_rate <= 0) {
            std::printf("%-18s failed (%llu sent)\n", name,
                        static_cast<unsigned long long>(f.sent));
            rc = 1;
            continue;
        }
        const double period_ms = 1000.0 / f.send_rate;  // over the whole sending span
        const double total_s = kPeriods * period_ms / 1000.0;
        std::printf("%-18s %6llu %11.4f ms %10.3f s %+8.1f ms %6llu %9.2f / %6.2f ms\n", name,
                    static_cast<unsigned long long>(f.sent), period_ms, total_s,
                    (total_s - kPeriods * 0.1) * 1000.0, static_cast<unsigned long long>(f.lost),
                    f.latency.p50_us / 1000.0, f.latency.p99_us / 1000.0);
    }
    std::printf(
        "\nPeriod and drift: from the send times the sender records just before each send\n"
        "(the mean over the whole run; 600 periods = 600 x the mean).\n");
    return rc;
}

int screenshot(const QString& file) {
    Rig rig;
    if (!rig.setUp(CONVERT_ETHERNET_TO_UART)) return 1;
    rig.f->btn->click();
    spin(3200);
    // The status bar line refreshes four times a second; shoot once it has a latency.
    until([&] { return rig.w->statusBar()->currentMessage().contains("p50"); }, 5000);
    const bool saved = rig.w->grab().save(file, "PNG");
    rig.f->btn->click();
    std::printf("%s\n", saved ? qPrintable(file) : "could not write the image");
    return saved ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc == 3 && QString(argv[1]) == "--screenshot") return screenshot(argv[2]);
    if (argc == 2 && QString(argv[1]) == "--pacing") return pacing();

    std::printf("convbench run benchmark: window offscreen, socat converter on 127.0.0.1\n\n");
    std::printf("%-18s %9s %6s %8s %28s %22s\n", "direction", "CPU(10s)", "sent", "arrived",
                "period median / p99 / max", "STOP median / worst");
    int rc = 0;
    for (int direction : {CONVERT_ETHERNET_TO_UART, CONVERT_UART_TO_ETHERNET}) {
        Result r;
        const char* name =
            direction == CONVERT_ETHERNET_TO_UART ? "ethernet -> uart" : "uart -> ethernet";
        if (!runDirection(direction, r)) {
            std::printf("%-18s failed\n", name);
            rc = 1;
            continue;
        }
        std::printf("%-18s %8.2f%% %6d %8d %10.1f / %5.1f / %5.1f ms %10.1f / %5.1f ms\n", name,
                    r.cpu_pct, r.sent, r.arrived, percentile(r.gaps_ms, 0.5),
                    percentile(r.gaps_ms, 0.99), percentile(r.gaps_ms, 1.0),
                    percentile(r.stop_ms, 0.5), percentile(r.stop_ms, 1.0));
    }
    std::printf(
        "\nCPU: user+system time of this process over wall time, %% of one core.\n"
        "Period: gaps between packets as counted by the receiver on the converter's far "
        "side.\n"
        "STOP: click to the return of stop(), 20 stops at random points of the cycle.\n\n");
    return pacing() == 0 ? rc : 1;
}
