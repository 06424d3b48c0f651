// convbench-sim: a simulated serial-to-Ethernet converter with faults.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "converter.h"
#include "numbers.h"
#include "signals.h"

namespace {

// The help; %zu is the line queue's size.
const char kUsage[] =
    "usage: convbench-sim --link PATH [options]\n"
    "\n"
    "Forwards between a pseudo-terminal (its slave linked at PATH) and a UDP socket\n"
    "or a TCP connection, with faults. Datagrams arriving at --bind go out on the pty;\n"
    "bytes written to the pty go out as datagrams to --peer. Over TCP both go on\n"
    "the one connection.\n"
    "\n"
    "  --link PATH         symlink made to the pty slave (removed at exit)\n"
    "  --transport T       udp (default), tcp-server (listen at --bind) or\n"
    "                      tcp-client (connect to --peer, again when it ends), or\n"
    "                      rfc2217 (tcp-server speaking Telnet with the Com Port\n"
    "                      Control option: records the settings sent, 0xFF doubled)\n"
    "  --bind IP:PORT      UDP address to bind (default 127.0.0.1:0, any port)\n"
    "  --peer IP:PORT      where serial bytes are sent (default 127.0.0.1:0, nowhere)\n"
    "  --format F          counter8 (default), seq32, seq7 or sized\n"
    "  --size BYTES        the sized format's packet length, 13..1472 (default 13)\n"
    "  --duration S        end after S seconds (default: run until SIGINT/SIGTERM)\n"
    "  --report FILE       where SIGUSR1 writes the report (default: stderr)\n"
    "faults (each alone or together; packets are found in each direction's stream):\n"
    "  --drop P            drop a packet with probability P\n"
    "  --corrupt P         xor one byte of a packet with a non-zero value\n"
    "  --duplicate P       send a packet twice, back to back\n"
    "  --reorder P         hold a packet back until --reorder-depth K packets passed\n"
    "  --reorder-depth K   (default 1)\n"
    "  --delay MS          delay every byte, first in first out\n"
    "  --jitter MS         plus a uniform random 0..MS per packet (never reorders)\n"
    "  --stray P           net->serial: one random byte before a packet\n"
    "  --truncate P        cut 1..size-1 bytes off the end of a packet\n"
    "  --drop-iac          rfc2217: send a data 0xFF alone (drops the second IAC)\n"
    "  --pack-size N       serial->net: datagrams of N bytes, cut across packets\n"
    "  --pack-gap MS       serial->net: send what was gathered after MS without bytes\n"
    "  --split N           net->serial: write a datagram in pieces of 1..N bytes\n"
    "  --baud B            serial line at B baud (B/10 bytes/s), %zu-byte queue\n"
    "  --queue BYTES       the line queue's size instead (a packet that does not fit\n"
    "                      is lost)\n"
    "  --outage MS         stop forwarding for MS ...\n"
    "  --outage-every MS   ... every MS\n"
    "  --disconnect-every MS  TCP: drop the connection every MS ...\n"
    "  --disconnect-for MS    ... and stay away MS (not listening / not connecting)\n"
    "  --echo              the serial side echoes every byte the tester writes\n"
    "  --seed N            seed of the random draws (default 1)\n"
    "Numbers are plain decimals (no exponent, sign or spaces). Limits: P 0..1;\n"
    "--delay, --jitter, --pack-gap 0..600000 ms; --outage, --outage-every,\n"
    "--disconnect-every, --disconnect-for 0..86400000 ms; K 1..1000;\n"
    "--pack-size 0..65507; --split 0..65536; --baud 0..100000000; --seed 0..2^64-1;\n"
    "--queue 0..16777216 (0: the default);\n"
    "--duration up to 10000000 s.\n"
    "The report (JSON, schema 1) goes to stdout at exit; SIGUSR1 writes one meanwhile.\n"
    "Exit status: 0 done, 2 bad option, 3 set-up failed (bind, link, pty).\n";

int bad(const std::string& msg) {
    std::fprintf(stderr, "convbench-sim: %s (see --help)\n", msg.c_str());
    return 2;
}

void writeReport(const std::string& json, const std::string& file) {
    if (file.empty()) {
        std::fputs(json.c_str(), stderr);
        return;
    }
    const std::string tmp = file + ".tmp";
    if (FILE* f = std::fopen(tmp.c_str(), "w")) {
        std::fputs(json.c_str(), f);
        std::fclose(f);
        std::rename(tmp.c_str(), file.c_str());
    } else {
        std::fprintf(stderr, "convbench-sim: cannot write %s: %s\n", file.c_str(),
                     std::strerror(errno));
    }
}

}  // namespace

int main(int argc, char** argv) {
    sim::Config cfg;
    double duration = -1;
    std::string report_file;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i], value;
        if (name == "--help" || name == "-h") {
            std::printf(kUsage, sim::kLineQueueBytes);
            return 0;
        }
        if (name.compare(0, 2, "--") != 0)
            return bad("unexpected argument " + numbers::quoted(name));
        if (name == "--echo") {  // the one fault without a value
            cfg.faults.echo = true;
            continue;
        }
        if (name == "--drop-iac") {  // rfc2217: a data 0xFF without its second IAC
            cfg.drop_iac = true;
            continue;
        }
        if (!numbers::optionValue(&name, argc, argv, &i, &value))
            return bad(name + " needs a value");
        if (name == "--link") {
            cfg.link = value;
        } else if (name == "--bind") {
            if (!sim::parseEndpoint(value, &cfg.bind_ip, &cfg.bind_port))
                return bad("--bind: '" + value + "' is not IP:PORT");
        } else if (name == "--peer") {
            if (!sim::parseEndpoint(value, &cfg.peer_ip, &cfg.peer_port))
                return bad("--peer: '" + value + "' is not IP:PORT");
        } else if (name == "--transport") {
            cfg.telnet = value == "rfc2217";  // a TCP server speaking Telnet
            if (!sim::parseTransport(cfg.telnet ? "tcp-server" : value, &cfg.transport))
                return bad("--transport: '" + value +
                           "' is not udp, tcp-server, tcp-client or rfc2217");
        } else if (name == "--format") {
            if (!measure::parseFormat(value, &cfg.format))
                return bad("--format: '" + value + "' is not counter8, seq32, seq7 or sized");
        } else if (name == "--size") {
            int64_t size = 0;
            if (numbers::parseWhole(value, measure::kSizedMin, measure::kMaxPacketSize, &size) !=
                numbers::Parsed::Ok)
                return bad("--size: " + numbers::quoted(value) + " is not a byte count " +
                           std::to_string(measure::kSizedMin) + ".." +
                           std::to_string(measure::kMaxPacketSize));
            cfg.size = static_cast<int>(size);
        } else if (name == "--duration") {
            if (numbers::parseDecimal(value, 0, 1e7, &duration) != numbers::Parsed::Ok ||
                duration <= 0)
                return bad("--duration: " + numbers::quoted(value) +
                           " is not a number of seconds above 0, up to 10000000");
        } else if (name == "--report") {
            report_file = value;
        } else {
            std::string error;
            if (!sim::parseFaultOption(name, value, &cfg.faults, &error)) return bad(error);
        }
    }
    if (cfg.link.empty()) return bad("--link PATH is required");
    std::string error;
    if (!sim::checkFaults(cfg.faults, &error)) return bad(error);

    sim::blockRunSignals();  // before the converter's thread starts
    sim::Converter conv(cfg);
    if (!conv.start(&error)) {
        std::fprintf(stderr, "convbench-sim: %s\n", error.c_str());
        return 3;
    }
    std::fprintf(stderr, "convbench-sim: serial %s (%s), %s %s:%u -> %s:%u, format %s (%d bytes)\n",
                 conv.slavePath().c_str(), conv.ptyPath().c_str(),
                 sim::transportName(cfg.transport), cfg.bind_ip.c_str(), conv.udpPort(),
                 cfg.peer_ip.c_str(), cfg.peer_port, measure::formatName(cfg.format),
                 measure::packetSize(cfg.format, cfg.size));

    const int64_t end = duration > 0 ? sim::nowNs() + static_cast<int64_t>(duration * 1e9) : -1;
    for (;;) {
        int wait_ms = -1;
        if (end >= 0) {
            const int64_t left = end - sim::nowNs();
            if (left <= 0) break;
            wait_ms = static_cast<int>((left + 999999) / 1000000);
        }
        const sim::Signal s = sim::waitRunSignal(wait_ms);
        if (s == sim::Signal::Stop) break;
        if (s == sim::Signal::Report) writeReport(conv.reportJson(), report_file);
    }
    conv.stop();
    std::fputs(conv.reportJson().c_str(), stdout);
    return 0;
}
