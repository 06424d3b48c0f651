// The window, offscreen, on the real engine: ptys made here, socat, traffic only on 127.0.0.1.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QSerialPortInfo>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>

#include <sys/socket.h>

#include <fstream>
#include <memory>
#include <thread>
#include <tuple>

#include "loopback.h"
#include "pty_pair.h"
#include "shared_items.h"
#include "socat.h"
#include "store.h"
#include "window_access.h"

using namespace testsupport;

namespace {

const auto until = [](auto pred, int ms = 15000) { return QTest::qWaitFor(pred, ms); };

QStringList listedPorts() {
    QStringList names;
    for (const QSerialPortInfo& p : QSerialPortInfo::availablePorts()) names << p.portName();
    return names;
}

// One window, shown offscreen, listing extra_ports after the platform's ports.
struct Harness {
    explicit Harness(const QString& extra_ports = QString())
        : env_set(qputenv("CONVBENCH_EXTRA_PORTS", extra_ports.toUtf8())), f(w) {
        qunsetenv("CONVBENCH_EXTRA_PORTS");
        w.show();
    }
    // STARTs a run through 127.0.0.1 on a port made by the test, never a listed one; another
    // Dest IP only where nothing may be sent.
    void start(const QString& port, int direction, const QString& dest_port,
               const QString& src_port, int protocol = 0, const QString& dest_ip = "127.0.0.1") {
        ASSERT_TRUE(w.getPowerBtn() && !listedPorts().contains(port));
        f.com->setCurrentIndex(f.com->findText(port));
        f.convert->setCurrentIndex(direction);
        f.protocol->setCurrentIndex(protocol);
        f.dest_ip->setText(dest_ip);
        f.dest_port->setText(dest_port);
        f.src_port->setText(src_port);
        f.btn->click();
    }
    static inline const QString kNotOpen = "receiver not open: no figures";
    QStringList messages() const { return {f.client_msg->text(), f.server_msg->text()}; }
    QString figures() const { return w.statusBar()->currentMessage(); }
    // The status bar line's lost, duplicated, reordered and corrupt counts and whether it has a
    // latency; empty when the line does not read as one.
    QList<int> parsedFigures() const {
        static const QRegularExpression re(QString::fromUtf8(
            "^lost (\\d+) \u00b7 duplicated (\\d+) \u00b7 reordered (\\d+) \u00b7 corrupt (\\d+) "
            "\u00b7 latency (-|p50 \\d+\\.\\d\\d ms p99 \\d+\\.\\d\\d ms)$"));
        const auto m = re.match(figures());
        if (!m.hasMatch()) return {};
        return {m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt(),
                m.captured(4).toInt(), m.captured(5) == "-" ? 0 : 1};
    }
    bool zeroed() const { return f.sent->text() == "0" && f.arrived->text() == "0"; }
    bool env_set;  // before the window, which reads the port list as it is built
    MainWindow w;
    MainWindowTestAccess f;
};

}  // namespace

// The report made while the window is built still shows (ports hidden in a mount namespace).
TEST(Form, NoSerialPortPresent) {
    if (!listedPorts().isEmpty() && !qEnvironmentVariableIsSet("CONVBENCH_NO_PORTS_CHILD")) {
        const int rc = QProcess::execute(
            "unshare", {"-m", "sh", "-c",
                        "mount -t tmpfs none /sys/class/tty || exit 77; "
                        "CONVBENCH_NO_PORTS_CHILD=1 \"$0\" --gtest_filter=*NoSerial* || exit 78",
                        QCoreApplication::applicationFilePath()});
        if (rc != 0 && rc != 78) GTEST_SKIP() << "no mount namespace can hide the listed ports";
        EXPECT_EQ(rc, 0) << "the child's output is above";
        return;
    }
    Harness h;
    EXPECT_EQ(h.messages(), QStringList({"No Active Ports Found", "--massage--"}));
}

// Reports go to the window built last, queued to the GUI thread in order: with no window they go
// nowhere, and an earlier window destroyed after the later one was built does not take them away.
// Echoed packets and a tester held up longer than 50 ms follow the figures on the status line.
TEST(StatusPath, WorkerReportsQueuedToTheLastWindowFiguresOnTheLine) {
    { Harness gone; }
    std::thread([] { updateServerCnt(7); }).join();
    QCoreApplication::processEvents();
    auto first = std::make_unique<Harness>();
    Harness h;
    QStringList seen;  // filled on the GUI thread, after the window's own slot
    QObject::connect(&h.w, &MainWindow::Event_updateServerCnt, &h.w, [&](QString c) { seen << c; });
    first.reset();
    std::thread([] {
        for (int i = 1; i <= 500; ++i) updateServerCnt(i);
    }).join();
    EXPECT_TRUE(h.f.arrived->text().isEmpty());  // no label touched off the GUI thread
    ASSERT_TRUE(until([&] { return seen.size() == 500; }));
    for (int i = 0; i < 500; ++i) ASSERT_EQ(seen[i], QString::number(i + 1));
    EXPECT_EQ(h.f.arrived->text(), "500");

    measure::Figures f;
    f.lost = 2, f.tester.longest_stall_ms = 50, f.tester.stall_at_s = 12.42;
    h.f.show_figures(f);
    EXPECT_EQ(h.parsedFigures(), (QList<int>{2, 0, 0, 0, 0})) << qPrintable(h.figures());
    const QString figures = h.figures(), sep = QString::fromUtf8(" \u00b7 ");
    f.echoed = 5;
    f.tester.longest_stall_ms = 340.4;
    h.f.show_figures(f);
    EXPECT_EQ(h.figures(), figures + sep + "echoed 5" + sep + "tester held up 340 ms at 12.4 s");
}

// The ports listed; each click reads the form; each half reports its own failure; bad checksum.
TEST(Form, OpensWithItsDefaultsAndEachClickReadsIt) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    const QString port = QString::fromStdString(pty.slavePath());
    QTemporaryDir dir;  // listed, as it exists, but no device opens there
    const QString gone = dir.path();
    Harness h(port + ":" + gone);
    UdpPeer converter, holder;  // a peer to send from, and a holder of the source port
    const unsigned short free_port = freeUdpPort();
    const unsigned char bad[7] = {2, 1, 2, 3, 4, 5, 99};  // its checksum would be 16
    const struct {
        QString port;
        int direction, protocol;
        QString dest, src;
        int want_dest, want_src;
        const char *client, *server;  // the halves' messages once started
        const char* dest_ip = "127.0.0.1";
    } rows[] = {
        {port, CONVERT_UART_TO_ETHERNET, 0, "70000", QString::number(holder.port()), 70000,
         holder.port(), "Start UART sender", "Open Socket failed"},
        {gone, CONVERT_ETHERNET_TO_UART, 0, QString::number(converter.port()), "12ab",
         converter.port(), 0, "Start UDP sender", "UART open failed"},
        {gone, CONVERT_UART_TO_ETHERNET, 1, "99999999999", QString::number(free_port), 0, free_port,
         "Open UART Failed", "checksum error !"},
        {port, CONVERT_UART_TO_ETHERNET, 1, "", "", 0, 0, "Start UART sender", "Bad Source Port"},
        {gone, CONVERT_ETHERNET_TO_UART, 0, "70000", "", 70000, 0, "Bad Dest Port",
         "UART open failed"},
        {gone, CONVERT_ETHERNET_TO_UART, 0, "1234", "", 1234, 0, "Bad Dest IP", "UART open failed",
         "999.1.1.1"}};
    for (const auto& r : rows) {
        h.start(r.port, r.direction, r.dest, r.src, r.protocol, r.dest_ip);
        EXPECT_EQ(std::make_tuple(h.w.m_direction, h.w.m_protocol, h.w.m_dest_port, h.w.m_src_port),
                  std::make_tuple(r.direction, r.protocol, r.want_dest, r.want_src));
        EXPECT_TRUE(until([&] {
            if (r.want_src == free_port) converter.sendTo(free_port, bad, 7);  // till it listens
            return h.messages() == QStringList({r.client, r.server});
        }));
        // A receiving side that did not open measures nothing: no packet counts as lost, live
        // (the sender may be sending) or after STOP.
        const bool not_open = QString(r.server) != "checksum error !";
        EXPECT_TRUE(!not_open || until([&] { return h.figures() == Harness::kNotOpen; }));
        h.f.btn->click();
        EXPECT_EQ(h.figures() == Harness::kNotOpen, not_open) << qPrintable(h.figures());
    }
    // The port box shows the end of a long path and the whole path as a tip.
    auto* box = static_cast<PortComboBox*>(h.f.com);
    box->setCurrentIndex(box->findText(gone));
    EXPECT_EQ(box->toolTip(), gone);
    const QString shown = box->shownText();
    EXPECT_TRUE(shown.size() > 1 && gone.endsWith(shown.mid(1))) << qPrintable(shown);
    EXPECT_LE(box->fontMetrics().horizontalAdvance(shown), box->width());
}

// Through socat each way: counts, the status bar's figures (cleared at START, live during the run,
// kept after STOP), STOP, quick cycles, closing the window mid-run; no leaks.
TEST(Run, ThroughSocatInEachDirection) {
    for (int dir : {CONVERT_ETHERNET_TO_UART, CONVERT_UART_TO_ETHERNET}) {
        SCOPED_TRACE(dir);
        QStringList closed = {"Socket closed", "UART closed"};  // the halves' closing messages
        if (dir == CONVERT_UART_TO_ETHERNET) closed.swapItemsAt(0, 1);
        const unsigned short near_port = freeUdpPort(), far_port = freeUdpPort();
        SocatBridge conv(near_port, far_port, 60);
        if (!conv.ok()) GTEST_SKIP() << conv.error();
        const QString port = QString::fromStdString(conv.ptyPath());
        auto h = std::make_unique<Harness>(port);
        auto counted = [&](int n) {
            return h->f.sent->text().toInt() >= n && h->f.arrived->text().toInt() >= n;
        };
        std::thread([] {}).join();  // a sanitizer's helper thread starts with the first thread
        const int fds = openDescriptorCount(), tasks = threadCount();
        for (int i = 9; i >= 0; --i) {  // quick cycles, then one that waits for the traffic
            h->start(port, dir, QString::number(near_port), QString::number(far_port));
            EXPECT_EQ(h->figures(), "") << "START clears the last run's line";
            // Traffic, live figures of a clean run: nothing lost, doubled, reordered, damaged.
            EXPECT_TRUE(i > 0 || until([&] {
                            return counted(10) && h->parsedFigures() == QList<int>{0, 0, 0, 0, 1};
                        }))
                << qPrintable(h->figures());
            h->f.btn->click();
            EXPECT_EQ(h->parsedFigures().size(), 5) << "STOP shows the final figures";
        }
        EXPECT_EQ(h->parsedFigures(), (QList<int>{0, 0, 0, 0, 1})) << qPrintable(h->figures());
        EXPECT_TRUE(until([&] { return h->zeroed() && h->messages() == closed; }));
        h->start(port, dir, QString::number(near_port), QString::number(far_port));
        ASSERT_TRUE(until([&] { return counted(3); }));
        QSignalSpy client_msgs(&h->w, &MainWindow::Event_updateClientMsg);
        QSignalSpy server_msgs(&h->w, &MainWindow::Event_updateServerMsg);
        QMetaObject::invokeMethod(&h->w, "close", Qt::QueuedConnection);
        EXPECT_EQ(QApplication::exec(), 0);
        h.reset();  // ends the run; its closing reports go nowhere
        EXPECT_EQ(client_msgs.count() + server_msgs.count(), 0);
        EXPECT_TRUE(until([&] { return threadCount() <= tasks && openDescriptorCount() <= fds; }));
    }
}

// Each run starts afresh: after STOP the next run's first packet is number 1. An outage of the
// tester's own serial port shows in the status line, in either direction (the port sends or
// receives), live and after STOP. With a store set (in the settings file, the environment over
// it) STOP records the run with the count the window showed; a store it cannot write leaves the
// run in the spool and a note on the status line. Pty pairs and loopback only.
TEST(Run, StartsAfreshRecordedAtStopShowsTheTestersOwnPortOutage) {
    QTemporaryDir conf;
    ASSERT_TRUE(conf.isValid() && QDir(conf.path()).mkpath("convbench"));
    const std::string db = conf.filePath("w.db").toStdString();
    std::ofstream(conf.filePath("convbench/window.conf").toStdString())
        << "# the bench's store\ndb = " << db << "\nspool=" << conf.filePath("spool").toStdString()
        << "\ndut=SN-FILE\nstation=bench-1\n";
    qputenv("XDG_CONFIG_HOME", conf.path().toUtf8());
    qputenv("CONVBENCH_DUT", "SN-WINDOW");
    for (const char* v : {"CONVBENCH_DB", "CONVBENCH_SPOOL", "CONVBENCH_STATION"}) qunsetenv(v);
    for (int dir : {CONVERT_ETHERNET_TO_UART, CONVERT_UART_TO_ETHERNET}) {
        SCOPED_TRACE(dir);
        PtyPair pty;
        ASSERT_TRUE(pty.ok());
        UdpPeer converter;  // e2u: where the datagrams go
        const QString port = QString::fromStdString(pty.slavePath());
        Harness h(port);
        const bool e2u = dir == CONVERT_ETHERNET_TO_UART;
        // Bytes from the far end, after a moment: <= 0 when none came.
        const auto far_end = [&](unsigned char* b, size_t n) -> ssize_t {
            QTest::qWait(10);
            return e2u ? recv(converter.fd(), b, n, MSG_DONTWAIT)
                       : ssize_t(pty.readMaster(b, n, 10));
        };
        const QString dest = QString::number(converter.port()),
                      src = QString::number(freeUdpPort());
        for (int run = 0; run < 2; ++run) {
            unsigned char b[512];
            while (far_end(b, sizeof b) > 0) {  // the last run's packets
            }
            h.start(port, dir, dest, src);
            int first = -1;  // the counter byte of the first packet to reach the far end
            for (int i = 0; i < 300 && first < 0; ++i)
                if (far_end(b, 7) == 7) first = b[0];
            EXPECT_EQ(first, 1) << "run " << run;
            ASSERT_TRUE(until([&] { return h.f.sent->text().toInt() >= 3; }));
            if (run == 1) continue;
            const int sent = h.f.sent->text().toInt();
            h.f.btn->click();
            EXPECT_TRUE(until([&] { return h.zeroed(); }));
            if (!e2u) continue;
            // The first run recorded: packets sent to a peer that keeps them, none received.
            std::string error;
            std::vector<store::Summary> runs;
            store::Run record;
            bool found = false;
            auto s = store::Store::open(db, {}, &error);
            ASSERT_TRUE(s && s->list({}, &runs, &error) && runs.size() == 1) << error;
            // nothing lost: packets on their way at STOP left out
            EXPECT_EQ(std::tie(runs[0].dut, runs[0].station, runs[0].outcome),
                      std::make_tuple("SN-WINDOW", "bench-1", "pass"));
            ASSERT_TRUE(s->get(runs[0].id, &record, &found, &error) && found) << error;
            ASSERT_TRUE(record.channels.size() == 1 && !record.channels[0].directions.empty());
            const store::Figure& sent_figure = record.channels[0].directions[0].figures.at(0);
            EXPECT_EQ(sent_figure.name, "sent");
            EXPECT_GE(sent_figure.value, sent);  // the last packets may go after the count was read
        }
        if (!e2u) qputenv("CONVBENCH_DB", conf.filePath("no-such-folder/w.db").toUtf8());
        pty.closeMaster();  // the tester's own port vanishes
        static const QRegularExpression lost(
            QString::fromUtf8(" \u00b7 serial port lost (\\d+\\.\\d) s"));
        const auto lost_s = [&] {
            const auto m = lost.match(h.figures());
            return m.hasMatch() ? m.captured(1).toDouble() : -1.0;
        };
        EXPECT_TRUE(until([&] { return lost_s() >= 0.5; })) << qPrintable(h.figures());
        h.f.btn->click();
        EXPECT_GE(lost_s(), 0.5) << qPrintable(h.figures());
        EXPECT_EQ(h.figures().contains("record kept in the spool: "), !e2u)
            << qPrintable(h.figures());
    }
    EXPECT_EQ(QDir(conf.filePath("spool")).entryList({"*.json"}).size(), 1);
    for (const char* v : {"CONVBENCH_DB", "CONVBENCH_DUT"}) qunsetenv(v);
}

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
