// Whole-run benchmark: the real window (offscreen) and engine, socat as the
// converter on 127.0.0.1, in each direction. Prints
//   - CPU of the whole process over a 10-second run at the fixed rate;
//   - the sender period: gaps between packets as the receiver sees them come
//     out of the converter's far side (median, 99th percentile, worst);
//   - STOP latency: click to the return of stop(), 20 times (median, worst).
// With --screenshot FILE it instead saves the window, 3 s into an
// "ethernet -> uart" run, as a PNG (scripts/screenshot, for the README).
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
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

#include "loopback.h"
#include "mainwindow.h"
#include "shared_items.h"
#include "socat.h"
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

int screenshot(const QString& file) {
    Rig rig;
    if (!rig.setUp(CONVERT_ETHERNET_TO_UART)) return 1;
    rig.f->btn->click();
    spin(3200);
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
        "side\n(the serial receiver polls every 5 ms, which adds to its jitter).\n"
        "STOP: click to the return of stop(), 20 stops at random points of the cycle.\n");
    return rc;
}
