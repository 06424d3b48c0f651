// Send lateness of the runner's engine on this machine: one session sending
// datagrams to its own listen port (the net direction, no converter between),
// at 10/s and at 1000/s, 10 s each. Prints the tester's own figures as the
// core reports them (send lateness against each packet's deadline, p50, p99,
// max; packets sent more than a period late; receive delay from the kernel's
// stamp to the read). Goal on a quiet machine: p99 under 200 us, max under 2 ms.
// Usage: bench_pacing [seconds per rate]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "session.h"

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10;
    // How quiet the machine was: the figures are only as good as that.
    if (std::FILE* f = std::fopen("/proc/loadavg", "r")) {
        char load[64] = "";
        if (std::fgets(load, sizeof load, f) != nullptr) std::printf("load average: %s", load);
        std::fclose(f);
    }
    std::printf("%8s %8s %10s %10s %10s %9s %12s %12s\n", "rate/s", "sent", "late p50us",
                "late p99us", "late maxus", "sent_late", "rxdelay p99", "rxdelay max");
    for (double rate : {10.0, 1000.0}) {
        traffic::SessionConfig c;
        c.e2u = false;
        c.net = true;
        c.rate = rate;
        c.count = static_cast<uint64_t>(rate * seconds);
        c.format = measure::Format::Seq32;
        c.dest_ip = "127.0.0.1";
        traffic::Session s(c);
        std::string error;
        if (!s.openNetwork(&error)) {
            std::fprintf(stderr, "bench_pacing: %s\n", error.c_str());
            return 1;
        }
        s.setConverter("", "127.0.0.1", s.listenPort());  // to itself
        if (!s.openSerial(&error) || !s.connect(&error)) {
            std::fprintf(stderr, "bench_pacing: %s\n", error.c_str());
            return 1;
        }
        s.start();
        while (!s.sendersDone()) traffic::sleepNs(20000000);
        s.drain();
        s.stop();
        const measure::Figures f = s.monitor(traffic::Way::NET)->finish(traffic::nowNs(), true);
        const measure::TesterFigures& t = f.tester;
        std::printf("%8.0f %8llu %10.1f %10.1f %10.1f %9llu %12.1f %12.1f\n", rate,
                    static_cast<unsigned long long>(f.sent), t.send_lateness.p50_us,
                    t.send_lateness.p99_us, t.send_lateness.max_us,
                    static_cast<unsigned long long>(t.sent_late), t.receive_delay.p99_us,
                    t.receive_delay.max_us);
    }
    return 0;
}
