#include "characterize.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>

#include "console.h"
#include "converter.h"
#include "fault_options.h"
#include "numbers.h"
#include "report.h"
#include "report_file.h"
#include "session.h"

namespace cli {
namespace {

using numbers::Parsed;

constexpr double kMaxTrialS = 3600, kMaxSettleMs = 600000;
// The pace of an e2u burst: a packet due every microsecond, so datagrams go
// back to back, a batch (engine::kDatagramBatch) at a time, as fast as the
// runner sends them.
constexpr double kBurstRate = 1e6;
constexpr int kConfirmSteps = 3;  // a failed confirmation steps down this many times at most

// Items of a channel desc taken here (sizes=13/64), the rest left for parseChannel.
bool takeSizes(const std::string& text, std::vector<int>* out, std::string* error) {
    out->clear();
    size_t i = 0;
    while (i <= text.size()) {
        const size_t end = text.find_first_of(",/", i);
        const std::string item = text.substr(i, end == std::string::npos ? end : end - i);
        int64_t n = 0;
        if (numbers::parseWhole(item, measure::kSizedMin, measure::kMaxPacketSize, &n) !=
            Parsed::Ok) {
            *error = numbers::quoted(item) + " is not a packet size " +
                     std::to_string(measure::kSizedMin) + ".." +
                     std::to_string(measure::kMaxPacketSize);
            return false;
        }
        out->push_back(static_cast<int>(n));
        if (end == std::string::npos) break;
        i = end + 1;
    }
    return true;
}

std::string utcNow() {
    const std::time_t t = std::time(nullptr);
    char b[32];
    std::strftime(b, sizeof b, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&t));
    return b;
}

bool sleepUnless(const std::atomic<int>& interrupted, double ms) {
    const int64_t until = traffic::nowNs() + static_cast<int64_t>(ms * 1e6);
    while (!interrupted.load()) {
        const int64_t left = until - traffic::nowNs();
        if (left <= 0) return true;
        traffic::sleepNs(std::min<int64_t>(left, 5000000));
    }
    return false;
}

// One channel's trials, in turn.
class Prober {
public:
    Prober(const CharzOptions& o, const Channel& c, const std::atomic<int>& interrupted,
           void (*progress)(const std::string&))
        : o_(o), c_(c), interrupted_(interrupted), progress_(progress) {}

    // A trial at load_pct of the line rate (burst: `count` packets back to
    // back), repeated while it loses with its tester held up.
    Trial trial(SizeResult& r, traffic::Way way, const std::string& kind, double load_pct,
                uint64_t burst_count = 0) {
        Trial t;
        for (int attempt = 1; attempt <= 1 + o_.retries; ++attempt) {
            if (attempt > 1 && !sleepUnless(interrupted_, o_.settle_ms)) break;
            t = once(r, way, kind, load_pct, burst_count);
            t.attempt = attempt;
            if (!t.held_up || t.interrupted || !t.error.empty()) break;
        }
        r.trials.push_back(t);
        if (progress_) {
            char line[200];
            std::snprintf(line, sizeof line,
                          "%s %s %d B: %-10s %6.2f %% of the line: sent %llu lost %llu%s%s",
                          c_.name.c_str(), r.way.c_str(), r.size, kind.c_str(), load_pct,
                          static_cast<unsigned long long>(t.figures.sent),
                          static_cast<unsigned long long>(t.figures.lost),
                          t.held_up ? " (tester held up)" : "",
                          t.error.empty() ? "" : (" - " + t.error).c_str());
            progress_(line);
        }
        if (!t.interrupted && t.error.empty()) sleepUnless(interrupted_, o_.settle_ms);
        return t;
    }

    bool stopped(const Trial& t) const { return t.interrupted || !t.error.empty(); }

    void run(SizeResult& r, traffic::Way way) {
        if (o_.throughput || o_.latency) throughput(r, way);
        if (interrupted_.load()) return;
        if (o_.loss) loss(r, way);
        if (interrupted_.load()) return;
        if (o_.latency) latency(r, way);
        if (interrupted_.load()) return;
        if (o_.burst) burst(r, way);
    }

private:
    Trial once(SizeResult& r, traffic::Way way, const std::string& kind, double load_pct,
               uint64_t burst_count) {
        Trial t;
        t.kind = kind;
        t.load_pct = load_pct;
        const double line_pps = r.line_Bps / r.size;
        const bool burst = burst_count > 0;
        t.rate_pps =
            burst ? (way == traffic::Way::E2U ? kBurstRate : line_pps) : line_pps * load_pct / 100;
        t.rate_pps = std::max(t.rate_pps, kMinRate);
        t.count = burst ? burst_count
                        : std::max<uint64_t>(
                              1, static_cast<uint64_t>(std::ceil(t.rate_pps * o_.trial_s - 1e-9)));
        traffic::SessionConfig sc = c_.session();
        sc.e2u = way == traffic::Way::E2U;
        sc.u2e = way == traffic::Way::U2E;
        sc.rate = t.rate_pps;
        sc.count = t.count;
        sc.format = measure::Format::Sized;
        sc.size = r.size;
        sc.latency_bound_ns = static_cast<int64_t>(o_.latency_bound_ms * 1e6);
        sc.connect_timeout_ns = static_cast<int64_t>(o_.connect_timeout_ms * 1e6);
        traffic::Session s(sc);
        std::unique_ptr<sim::Converter> conv;
        if (!open(s, r.size, &conv, &t.error)) return t;
        const int64_t start = traffic::nowNs();
        s.start();
        // Sending takes count / rate; a tester that falls far behind still ends.
        const int64_t most =
            static_cast<int64_t>((static_cast<double>(t.count) / t.rate_pps * 2 + 10) * 1e9);
        while (!s.sendersDone() && !interrupted_.load() && traffic::nowNs() - start < most)
            traffic::sleepNs(2000000);
        s.stopSending();
        const int64_t sent_at = traffic::nowNs();
        s.drain(interrupted_);
        const int64_t drained_at = traffic::nowNs();
        t.interrupted = interrupted_.load() != 0;
        traffic::Monitor* m = s.monitor(way);
        t.figures = m->finish(drained_at, true);
        s.stop();
        if (conv) conv->stop();
        t.elapsed_s = static_cast<double>(sent_at - start) / 1e9;
        t.residual_wait_ms = static_cast<double>(drained_at - sent_at) / 1e6;
        const measure::Figures& f = t.figures;
        t.offered_Bps = f.send_rate * r.size;
        t.delivered_Bps = f.receive_rate * r.size;
        if (f.received < 2) t.delivered_Bps = 0;
        t.utilisation = r.line_Bps > 0 ? t.delivered_Bps / r.line_Bps : 0;
        t.lossless =
            f.sent > 0 && f.lost == 0 && f.corrupt == 0 && f.in_flight == 0 && f.received == f.sent;
        // Lost while the tester itself was held up, or the tester did not send
        // what was asked: the trial says nothing about the converter.
        t.held_up =
            !t.lossless && !t.interrupted &&
            (f.tester.longest_stall_ms > o_.tester_stall_ms || f.sent + f.not_sent < t.count);
        return t;
    }

    bool open(traffic::Session& s, int size, std::unique_ptr<sim::Converter>* conv,
              std::string* error) {
        if (!o_.simulate) return s.open(error) && s.connect(error);
        if (!s.openNetwork(error)) return false;
        sim::Config cc;
        cc.format = measure::Format::Sized;
        cc.size = size;
        cc.faults = c_.faults;
        cc.transport = c_.transport == traffic::Transport::Udp         ? sim::Transport::Udp
                       : c_.transport == traffic::Transport::TcpClient ? sim::Transport::TcpServer
                                                                       : sim::Transport::TcpClient;
        cc.peer_port = s.listenPort();
        *conv = std::make_unique<sim::Converter>(cc);
        if (!(*conv)->start(error)) {
            *error = "simulated converter: " + *error;
            return false;
        }
        s.setConverter((*conv)->ptyPath(), "127.0.0.1", (*conv)->udpPort());
        return s.openSerial(error) && s.connect(error);
    }

    void throughput(SizeResult& r, traffic::Way way) {
        const double res = o_.resolution_pct;
        Trial t = trial(r, way, "throughput", 100);
        if (stopped(t)) return note(r.throughput_pct, t);
        double lo = 0, hi = 100;
        if (t.held_up) return inconclusive(r.throughput_pct, t);
        if (t.lossless) lo = 100;
        while (hi - lo > res) {
            const double mid = (lo + hi) / 2;
            t = trial(r, way, "throughput", mid);
            if (stopped(t)) return note(r.throughput_pct, t);
            if (t.held_up) return inconclusive(r.throughput_pct, t);
            (t.lossless ? lo : hi) = mid;
        }
        if (lo <= 0) {
            r.throughput_pct = {true, 0,
                                "lost packets at every load tried, down to " +
                                    numbers::limitText(hi) + " % of the line rate"};
            return;
        }
        // The confirming trial; should it lose, one resolution step lower, a few times.
        for (int step = 0; step < kConfirmSteps && lo > 0; ++step, lo -= res) {
            t = trial(r, way, "confirm", lo);
            if (stopped(t)) return note(r.throughput_pct, t);
            if (t.held_up) return inconclusive(r.throughput_pct, t);
            if (t.lossless) {
                r.throughput_pct = {true, lo, ""};
                r.confirmed = true;
                return;
            }
        }
        r.throughput_pct = {false, 0, "the confirming trials lost packets at the load found"};
    }

    void loss(SizeResult& r, traffic::Way way) {
        int clean = 0;
        for (int step = 10; step >= 1 && clean < 2; --step) {
            const Trial t = trial(r, way, "loss", step * 10.0);
            if (stopped(t)) return;
            LoadPoint p;
            p.load_pct = step * 10.0;
            if (t.held_up) {
                p.loss_ratio.note = "the tester was held up";
            } else {
                p.loss_ratio = {true,
                                t.figures.sent ? static_cast<double>(
                                                     t.figures.sent -
                                                     std::min(t.figures.sent, t.figures.received)) /
                                                     static_cast<double>(t.figures.sent)
                                               : 0,
                                ""};
                clean = t.lossless ? clean + 1 : 0;
            }
            r.loss.push_back(p);
        }
    }

    void latency(SizeResult& r, traffic::Way way) {
        for (const double share : {10.0, 50.0, 90.0, 100.0}) {
            LoadPoint p;
            if (!r.throughput_pct.known || r.throughput_pct.value <= 0) {
                p.load_pct = share;  // of an unknown throughput
                p.p50_ms.note = p.p99_ms.note = p.max_ms.note = "no throughput found";
                r.latency.push_back(p);
                continue;
            }
            p.load_pct = r.throughput_pct.value * share / 100;
            const Trial t = trial(r, way, "latency", p.load_pct);
            if (stopped(t)) return;
            const measure::Latency& l = t.figures.latency;
            if (l.count == 0 || t.held_up) {
                p.p50_ms.note = p.p99_ms.note = p.max_ms.note =
                    t.held_up ? "the tester was held up" : "no packet came back";
            } else {
                p.p50_ms = {true, l.p50_us / 1e3, ""};
                p.p99_ms = {true, l.p99_us / 1e3, ""};
                p.max_ms = {true, l.max_us / 1e3, ""};
            }
            r.latency.push_back(p);
        }
    }

    void burst(SizeResult& r, traffic::Way way) {
        const double most_bytes =
            o_.burst_max_bytes > 0 ? o_.burst_max_bytes : o_.trial_s * r.line_Bps;
        const uint64_t cap = std::max<uint64_t>(2, static_cast<uint64_t>(most_bytes / r.size));
        uint64_t ok = 0, bad = 0;
        for (uint64_t n = 1;; n = std::min(cap, 2 * n)) {
            const Trial t = trial(r, way, "burst", 100, n);
            if (stopped(t)) return note(r.burst_packets, t);
            if (t.held_up) return inconclusive(r.burst_packets, t);
            if (!t.lossless) {
                bad = n;
                break;
            }
            ok = n;
            if (n == cap) break;
        }
        while (bad > ok + 1) {
            const uint64_t mid = ok + (bad - ok) / 2;
            const Trial t = trial(r, way, "burst", 100, mid);
            if (stopped(t)) return note(r.burst_packets, t);
            if (t.held_up) return inconclusive(r.burst_packets, t);
            (t.lossless ? ok : bad) = mid;
        }
        if (bad == 0) {
            r.burst_lower_bound = true;
            r.burst_packets = {false, static_cast<double>(ok),
                               "nothing lost up to the longest burst tried (" + std::to_string(ok) +
                                   " packets): at least that"};
            return;
        }
        r.burst_packets = {true, static_cast<double>(ok),
                           ok == 0 ? "a single packet was lost" : ""};
    }

    static void note(Finding& f, const Trial& t) {
        f.known = false;
        f.note = t.interrupted ? "interrupted" : "trial not run: " + t.error;
    }
    static void inconclusive(Finding& f, const Trial& t) {
        f.known = false;
        char b[120];
        std::snprintf(b, sizeof b, "the tester was held up (longest stall %.1f ms) in %d trials",
                      t.figures.tester.longest_stall_ms, t.attempt);
        f.note = b;
    }

    const CharzOptions& o_;
    const Channel& c_;
    const std::atomic<int>& interrupted_;
    void (*progress_)(const std::string&);
};

void runChannel(const CharzOptions& o, size_t index, ChannelCharz* out,
                const std::atomic<int>& interrupted, void (*progress)(const std::string&)) {
    const Channel& c = o.channels[index];
    out->channel = c;
    Prober p(o, c, interrupted, progress);
    const std::vector<int>& sizes =
        index < o.channel_sizes.size() && !o.channel_sizes[index].empty() ? o.channel_sizes[index]
                                                                          : o.sizes;
    for (const traffic::Way way : {traffic::Way::E2U, traffic::Way::U2E}) {
        if ((way == traffic::Way::E2U && !c.e2u) || (way == traffic::Way::U2E && !c.u2e)) continue;
        for (const int size : sizes) {
            if (interrupted.load()) return;
            SizeResult r;
            r.way = traffic::wayName(way);
            r.size = size;
            r.line_Bps = lineBytesPerSecond(c);
            p.run(r, way);
            out->results.push_back(std::move(r));
            const Trial& first = out->results.back().trials.front();
            if (!first.error.empty()) {  // the channel cannot be opened: no use going on
                out->error = first.error;
                return;
            }
        }
    }
}

}  // namespace

std::string characterizeUsage() {
    return R"(usage: convbench-cli characterize --port PORT --address IP:PORT [options]
       convbench-cli characterize --channel CHANNEL [--channel ...] [options]

Finds a converter's limits with trials of sized packets, in the manner of RFC
2544, for each channel, direction and packet size at the channel's baud rate
(the line rate is baud / 10 bytes/s on an 8N1 line, baud over the bits of a
byte's frame on others):
  throughput   the highest offered load with nothing lost, by binary search
               between 0 and the line rate, then a confirming trial;
  loss         lost share at 100 %, 90 %, ... of the line rate until two steps
               in a row lose nothing;
  latency      p50, p99 and max at 10, 50, 90 and 100 % of the throughput;
  burst        the longest burst with nothing lost (e2u: datagrams back to
               back; u2e: the serial line at its rate): the converter's buffer.
Each trial is followed by the residual wait (until nothing is in flight, at
most the latency bound) and the settle time. A figure that cannot be
established is reported as inconclusive; a losing trial whose tester was held
up is repeated. Ctrl-C ends the current trial and reports the ones done.

Connection (as for a run; the defaults of every --channel):
  -p, --port PORT            serial port wired to the converter
  -a, --address IP:PORT      the converter's address
  -l, --listen PORT          local port the converter sends to (default 3456)
      --transport T          udp (default), tcp-client or tcp-server
  -b, --baud RATE            the serial line's baud rate (default 115200)
  -d, --direction DIR        e2u, u2e or both (default): both runs e2u's trials,
                             then u2e's
      --channel CHANNEL      one channel (key=value items as for a run, and
                             sizes=13/64/256 for its own packet sizes); repeat
                             it: the channels are characterised at once
      --connect-timeout MS   the first TCP connection of a trial, 1..3600000
                             (default 5000)
Trials:
      --size LIST            packet sizes, 13..1472 bytes, separated by commas
                             (default 13,64,256,1024)
      --trial S              length of a trial, 0.1..3600 s (default 10)
      --resolution PCT       throughput search resolution, % of the line rate,
                             0.1..50 (default 1)
      --settle MS            settle time between trials, 0..600000 (default 500)
      --latency-bound MS     a packet not back within MS is lost; also the
                             longest residual wait, 1..600000 (default 1000)
      --tester-stall MS      a losing trial whose tester was held up longer is
                             repeated, 0..600000 (default 50)
      --retries N            repeats of such a trial, 0..10 (default 2)
      --burst-max BYTES      longest burst tried, 1..100000000 (default: one
                             trial length at the line rate)
      --only LIST            some of throughput, loss, latency, burst, separated
                             by commas (latency needs the throughput search)
      --simulate             against the built-in simulated converter (one per
                             trial), its faults as channel keys or options
                             (--queue 512, --delay 20, ...; --baud paces it)
Reports:
      --json FILE            every trial and figure as JSON ("-": stdout)
      --report FILE          HTML with plots: throughput against packet size
                             beside the line rate, loss against offered load,
                             latency against load, the burst search
      --sheet FILE           the one-page data sheet as text ("-": stdout;
                             default: standard error)
  -h, --help                 this text

Exit status: 0 done (inconclusive figures are in the reports), 2 usage error,
3 set-up error (a channel could not be opened), 4 interrupted.
)";
}

bool parseCharacterize(int argc, const char* const* argv, CharzOptions* o, std::string* error) {
    static const std::pair<const char*, const char*> kShort[] = {
        {"-p", "port"}, {"-a", "address"}, {"-l", "listen"}, {"-b", "baud"}, {"-d", "direction"}};
    std::string base;  // the one-channel settings, as channel items
    std::vector<std::string> descs;
    o->sizes = {measure::kSizedMin, 64, 256, 1024};
    bool simulate_faults = false;
    for (int i = 0; i < argc; ++i) {
        std::string name = argv[i], value;
        if (name == "-h" || name == "--help") {
            o->help = true;
            return true;
        }
        if (name == "--simulate") {
            o->simulate = true;
            continue;
        }
        if (name == "--echo") {
            base += ",echo=1";
            simulate_faults = true;
            continue;
        }
        for (const auto& [s, l] : kShort)
            if (name == s) name = std::string("--") + l;
        if (name.compare(0, 2, "--") != 0) {
            *error = "unexpected argument " + numbers::quoted(name);
            return false;
        }
        if (!numbers::optionValue(&name, argc, argv, &i, &value)) {
            *error = "option " + name + " needs a value";
            return false;
        }
        auto decimal = [&](double lo, double hi, double* out) {
            if (numbers::parseDecimal(value, lo, hi, out) == Parsed::Ok) return true;
            *error = "option " + name + ": " + numbers::quoted(value) + " is not a number " +
                     numbers::limitText(lo) + ".." + numbers::limitText(hi);
            return false;
        };
        const std::string key = name.substr(2);
        double d = 0;
        if (key == "channel") {
            descs.push_back(value);
        } else if (key == "size") {
            if (!takeSizes(value, &o->sizes, error)) {
                *error = "option --size: " + *error;
                return false;
            }
        } else if (key == "trial") {
            if (!decimal(0.1, kMaxTrialS, &o->trial_s)) return false;
        } else if (key == "resolution") {
            if (!decimal(0.1, 50, &o->resolution_pct)) return false;
        } else if (key == "settle") {
            if (!decimal(0, kMaxSettleMs, &o->settle_ms)) return false;
        } else if (key == "latency-bound") {
            if (!decimal(1, kMaxLatencyBoundMs, &o->latency_bound_ms)) return false;
        } else if (key == "tester-stall") {
            if (!decimal(0, kMaxTesterStallMs, &o->tester_stall_ms)) return false;
        } else if (key == "connect-timeout") {
            if (!decimal(kMinConnectTimeoutMs, kMaxConnectTimeoutMs, &o->connect_timeout_ms))
                return false;
        } else if (key == "retries") {
            if (!decimal(0, 10, &d) || d != std::floor(d)) {
                *error = "option --retries: " + numbers::quoted(value) + " is not a count 0..10";
                return false;
            }
            o->retries = static_cast<int>(d);
        } else if (key == "burst-max") {
            if (!decimal(1, 1e8, &o->burst_max_bytes)) return false;
        } else if (key == "only") {
            o->throughput = o->loss = o->latency = o->burst = false;
            size_t at = 0;
            while (at <= value.size()) {
                const size_t end = value.find(',', at);
                const std::string item =
                    value.substr(at, end == std::string::npos ? end : end - at);
                bool* which = item == "throughput" ? &o->throughput
                              : item == "loss"     ? &o->loss
                              : item == "latency"  ? &o->latency
                              : item == "burst"    ? &o->burst
                                                   : nullptr;
                if (which == nullptr) {
                    *error = "option --only: " + numbers::quoted(item) +
                             " is not throughput, loss, latency or burst";
                    return false;
                }
                *which = true;
                if (end == std::string::npos) break;
                at = end + 1;
            }
        } else if (key == "json") {
            o->json_path = value;
        } else if (key == "report") {
            if (value.empty() || value == "-") {
                *error = "option --report: " + numbers::quoted(value) + " is not a file name";
                return false;
            }
            o->html_path = value;
        } else if (key == "sheet") {
            o->sheet_path = value;
        } else if (key == "port" || key == "address" || key == "listen" || key == "transport" ||
                   key == "baud" || key == "direction") {
            if (value.find_first_of(", \t") != std::string::npos) {
                *error =
                    "option " + name + ": " + numbers::quoted(value) + " has a separator in it";
                return false;
            }
            base += "," + key + "=" + value;
        } else {
            bool fault = false;
            for (const sim::FaultOption& f : sim::faultOptions()) fault = fault || f.name == key;
            if (!fault) {
                *error = "unknown option " + numbers::visible(name);
                return false;
            }
            sim::Faults ignored;
            if (!sim::parseFaultOption(key, value, &ignored, error)) return false;
            base += "," + key + "=" + value;
            simulate_faults = true;
        }
    }
    if (simulate_faults && !o->simulate) {
        *error = "fault options need --simulate";
        return false;
    }
    if (!o->json_path.empty() && o->json_path == "-" && o->sheet_path == "-") {
        *error = "--json - and --sheet - would both write to standard output";
        return false;
    }
    if (descs.empty()) descs.push_back("");
    if (descs.size() > kMaxChannels) {
        *error = "more than " + std::to_string(kMaxChannels) + " channels, the most one run takes";
        return false;
    }
    for (const std::string& desc : descs) {
        // sizes= is this subcommand's own key.
        std::string rest;
        std::vector<int> sizes;
        size_t at = 0;
        while (at < desc.size()) {
            const size_t end = desc.find_first_of(", \t", at);
            const std::string item = desc.substr(at, end == std::string::npos ? end : end - at);
            at = end == std::string::npos ? desc.size() : end + 1;
            if (item.rfind("sizes=", 0) == 0) {
                if (!takeSizes(item.substr(6), &sizes, error)) {
                    *error = "channel " + numbers::quoted(desc) + ": sizes: " + *error;
                    return false;
                }
            } else if (!item.empty()) {
                rest += "," + item;
            }
        }
        Channel c;
        c.name = "ch" + std::to_string(o->channels.size() + 1);
        const std::string all = (base + rest).substr(1);
        if (all.empty() && !o->simulate) {
            *error = "--port and --address are needed (or a --channel)";
            return false;
        }
        if (!all.empty() && !parseChannel(all, o->simulate, &c, error)) return false;
        if (all.empty() && !parseChannel("direction=both", true, &c, error)) return false;
        if (c.net) {
            *error = "characterize measures e2u and u2e, not net";
            return false;
        }
        // Sized packets carry bytes >= 0x80 and flow-control bytes.
        if (c.line.data_bits < 8 || c.line.flow == UART_kFlowXonXoff) {
            char text[32];
            UART_LineText(&c.line, text, sizeof text);
            *error = numbers::visible(c.name) + "'s line (" + text +
                     ") cannot carry sized packets: characterize needs 8 data bits without "
                     "XON/XOFF";
            return false;
        }
        o->channels.push_back(c);
        o->channel_sizes.push_back(sizes);
    }
    return true;
}

CharzResult characterize(const CharzOptions& o, const std::atomic<int>& interrupted,
                         void (*progress)(const std::string& line)) {
    CharzResult r;
    r.options = o;
    r.started_at = utcNow();
    const int64_t start = traffic::nowNs();
    r.channels.resize(o.channels.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < o.channels.size(); ++i)
        threads.emplace_back(runChannel, std::cref(o), i, &r.channels[i], std::cref(interrupted),
                             progress);
    for (std::thread& t : threads) t.join();
    r.interrupted = interrupted.load() != 0;
    r.elapsed_s = static_cast<double>(traffic::nowNs() - start) / 1e9;
    return r;
}

namespace {
std::mutex g_progress_m;
void showProgress(const std::string& line) {
    std::lock_guard<std::mutex> g(g_progress_m);
    std::fprintf(stderr, "\r%s\033[K\n", shown(line).c_str());
}
}  // namespace

int characterizeMain(int argc, const char* const* argv) {
    CharzOptions o;
    std::string error;
    if (!parseCharacterize(argc, argv, &o, &error)) {
        std::fprintf(stderr,
                     "convbench-cli characterize: %s\n(convbench-cli characterize --help lists "
                     "the options)\n",
                     shown(error).c_str());
        return 2;
    }
    if (o.help) {
        std::fputs(characterizeUsage().c_str(), stdout);
        return 0;
    }
    ignoreWriteSignals();
    catchInterrupts(nullptr);
    ReportFile json("JSON report"), html("HTML report"), sheet("data sheet");
    for (auto [r, path] : {std::pair<ReportFile*, const std::string*>{&json, &o.json_path},
                           {&html, &o.html_path},
                           {&sheet, &o.sheet_path}}) {
        if (!r->open(*path)) {
            std::fprintf(stderr, "convbench-cli characterize: %s\n", shown(r->error()).c_str());
            return 3;
        }
    }
    static std::atomic<int> interrupted{0};
    catchInterrupts(&interrupted);
    const CharzResult r = characterize(o, interrupted, stderrIsTerminal() ? showProgress : nullptr);
    const std::string text = charzSheet(r);
    if (sheet.wanted())
        sheet.write(text);
    else
        std::fputs(text.c_str(), stderr);
    json.write(charzJson(r));
    html.write(charzHtml(r));
    bool written = true;
    for (ReportFile* f : {&json, &html, &sheet}) {
        if (f->finish()) continue;
        std::fprintf(stderr, "convbench-cli characterize: %s\n", shown(f->error()).c_str());
        written = false;
    }
    if (!written) return 3;
    if (r.interrupted) return 4;
    for (const ChannelCharz& c : r.channels)
        if (!c.error.empty()) return 3;
    return 0;
}

}  // namespace cli
