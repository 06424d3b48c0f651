// The window, offscreen, driving the real engine. Serial ports are ptys made here (handed over
// through CONVBENCH_EXTRA_PORTS), the converter is socat, all traffic stays on 127.0.0.1.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMetaMethod>
#include <QProcess>
#include <QSerialPortInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>
#include <thread>
#include <tuple>

#include "loopback.h"
#include "mainwindow.h"
#include "pty_pair.h"
#include "shared_items.h"
#include "socat.h"
#include "window_access.h"

using namespace testsupport;

// Readable QStrings in failure messages.
void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace {

template <typename Pred>
bool until(Pred pred, int ms = 15000) {
    return QTest::qWaitFor(pred, ms);
}

bool shows(QLabel* label, const QString& text) {
    return until([&] { return label->text() == text; });
}

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
    // Fills the form for a run through 127.0.0.1 on a port made by the test.
    void set(const QString& port, int direction, const QString& dest_port, const QString& src_port,
             int protocol = 0) {
        f.com->setCurrentIndex(f.com->findText(port));
        f.convert->setCurrentIndex(direction);
        f.protocol->setCurrentIndex(protocol);
        f.dest_ip->setText("127.0.0.1");
        f.dest_port->setText(dest_port);
        f.src_port->setText(src_port);
    }
    void click() {
        if (w.getPowerBtn()) {  // about to START: loopback only, never a listed port
            ASSERT_EQ(f.dest_ip->text(), "127.0.0.1");
            ASSERT_FALSE(listedPorts().contains(f.com->currentText()));
        }
        QTest::mouseClick(f.btn, Qt::LeftButton);
    }
    int arrived() const { return f.arrived->text().toInt(); }
    bool env_set;  // before the window, which reads the port list as it is built
    MainWindow w;
    MainWindowTestAccess f;
};

}  // namespace

// The form as it opens: title, fixed size, places, texts, defaults, the ports in order.
TEST(Form, OpensWithItsDefaultsAtAFixedSize) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    const QString extra = QString::fromStdString(pty.slavePath());
    Harness h(extra);
    EXPECT_EQ(h.w.windowTitle(), "Quorvane & Enavroq");
    EXPECT_EQ(h.w.minimumSize(), QSize(1200, 900));
    EXPECT_EQ(h.w.maximumSize(), QSize(1200, 900));
    EXPECT_EQ(h.f.btn->geometry(), QRect(525, 800, 150, 75));
    EXPECT_EQ(h.f.sent->parentWidget()->geometry(), QRect(150, 400, 400, 350));  // "client"
    EXPECT_EQ(h.f.arrived->parentWidget()->geometry(), QRect(650, 400, 400, 350));
    EXPECT_EQ(h.f.sent_caption->parentWidget(), h.f.sent->parentWidget());
    QStringList items;
    for (QComboBox* c : {h.f.com, h.f.protocol, h.f.convert})
        for (int i = 0; i < c->count(); ++i) items << c->itemText(i);
    EXPECT_EQ(items, listedPorts() + QStringList({extra, "udp", "tcp", "ethernet -> uart",
                                                  "uart -> ethernet"}));
    EXPECT_EQ(h.f.dest_ip->text(), "192.168.0.30");  // the default only; tests never send there
    EXPECT_EQ(QStringList({h.f.btn->text(), h.f.dest_port->text(), h.f.src_port->text(),
                           h.f.sent_caption->text(), h.f.arrived_caption->text(), h.f.sent->text(),
                           h.f.arrived->text(), h.f.client_msg->text(), h.f.server_msg->text()}),
              QStringList({"START", "1234", "3456",
                           "Number of packages sent:", "Number of packages that arrived:", "", "",
                           "--massage--", "--massage--"}));
}

// Signals and slots keep their kind (signal, private or public slot), signature and order.
TEST(Form, MetaObjectHasTheSignalsAndSlotsInOrder) {
    const QMetaObject& mo = MainWindow::staticMetaObject;
    QStringList got;
    for (int i = mo.methodOffset(); i < mo.methodCount(); ++i) {
        const QMetaMethod m = mo.method(i);
        const char* kind = m.methodType() == QMetaMethod::Signal ? "signal"
                           : m.access() == QMetaMethod::Private  ? "private"
                                                                 : "public";
        got << QString("%1 %2 %3").arg(kind, m.methodSignature(), m.parameterNames().value(0));
    }
    EXPECT_EQ(got.join("; "),
              "signal Event_updateClientMsg(QString) msg; signal Event_updateServerMsg(QString) "
              "msg; signal Event_updateClientCnt(QString) cnt; signal "
              "Event_updateServerCnt(QString) cnt; private updateClientMassage(QString) msg; "
              "private updateServerMassage(QString) msg; private updateClientCounter(QString) "
              "cnt; private updateServerCounter(QString) cnt; public myclick() ");
}

// With no port listed, the report made while the window is built still shows. Listed ports
// are hidden by a child run in a private mount namespace.
TEST(Form, NoSerialPortPresent) {
    if (!listedPorts().isEmpty()) {
        if (qEnvironmentVariableIsSet("CONVBENCH_NO_PORTS_CHILD"))
            FAIL() << "ports still listed inside the namespace";
        qputenv("CONVBENCH_NO_PORTS_CHILD", "1");
        const int rc =
            QProcess::execute("unshare", {"-m", "sh", "-c",
                                          "mount -t tmpfs none /sys/class/tty || exit 77; \"$0\" "
                                          "--gtest_filter=Form.NoSerialPortPresent || exit 78",
                                          QCoreApplication::applicationFilePath()});
        qunsetenv("CONVBENCH_NO_PORTS_CHILD");
        if (rc != 0 && rc != 78) GTEST_SKIP() << "no mount namespace can hide the listed ports";
        EXPECT_EQ(rc, 0) << "the child's output is above";
        return;
    }
    Harness h;
    EXPECT_EQ(h.f.client_msg->text(), "No Active Ports Found");
    EXPECT_EQ(h.f.server_msg->text(), "--massage--");
}

// Reports with no window go nowhere. A worker's reports are queued to the GUI thread (the
// worker never waits for it), arrive in order and are read as UTF-8.
TEST(StatusPath, WorkerReportsQueuedInOrderAndDroppedWithoutAWindow) {
    { Harness gone; }
    std::thread([] { updateServerCnt(7); }).join();
    QCoreApplication::processEvents();

    Harness h;
    QStringList seen;  // filled on the GUI thread, after the window's own slot
    QObject::connect(&h.w, &MainWindow::Event_updateServerCnt, &h.w, [&](QString c) { seen << c; });
    std::thread([] {
        for (int i = 1; i <= 500; ++i) updateServerCnt(i);
        updateClientMsg("Gr\xc3\xbc\xc3\x9f");
    }).join();
    EXPECT_TRUE(h.f.arrived->text().isEmpty());  // no label touched off the GUI thread
    ASSERT_TRUE(until([&] { return seen.size() == 500; }));
    for (int i = 0; i < 500; ++i) ASSERT_EQ(seen[i], QString::number(i + 1));
    EXPECT_EQ(h.f.arrived->text(), "500");
    EXPECT_EQ(h.f.client_msg->text(), QString::fromUtf8("Gr\xc3\xbc\xc3\x9f"));
    updateClientCnt(0);  // on the GUI thread the label changes at once
    EXPECT_EQ(h.f.sent->text(), "0");
}

// Each click hands the form to the engine (a number that does not parse or overflows int is 0,
// one above 65535 passes unchanged), and each half reports its own failure while the other
// runs on: the source port held by someone else, the device gone by START. A packet with a bad
// checksum is counted and reported.
TEST(Run, ClickReadsTheFormAndEachHalfReportsItsOwnFailure) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    pty.closeSlave();
    const QString port = QString::fromStdString(pty.slavePath());
    QTemporaryDir dir;
    const QString gone = dir.filePath("ttyGONE");
    ASSERT_TRUE(QFile::link(port, gone));
    Harness h(port + ":" + gone);
    ASSERT_TRUE(QFile::remove(gone));  // listed at start-up, gone by START
    UdpPeer converter, holder;
    const QString to_converter = QString::number(converter.port());
    const struct {
        QString port;
        int direction, protocol;
        QString dest, src;
        int want_dest, want_src;
        const char *client, *server;  // the halves' messages once started (nullptr: any)
    } rows[] = {
        {port, CONVERT_UART_TO_ETHERNET, 0, "0", QString::number(holder.port()), 0, holder.port(),
         "Start UART sender", "Open Socket failed"},
        {gone, CONVERT_ETHERNET_TO_UART, 0, to_converter, "12ab", converter.port(), 0,
         "Start UDP sender", "UART open failed"},
        {gone, CONVERT_UART_TO_ETHERNET, 1, "99999999999", "", 0, 0, "Open UART Failed",
         "Start UDP reciever"},
        {port, CONVERT_UART_TO_ETHERNET, 1, "0", "70000", 0, 70000, "Start UART sender", nullptr}};
    for (const auto& r : rows) {
        h.set(r.port, r.direction, r.dest, r.src, r.protocol);
        h.click();
        EXPECT_EQ(std::make_tuple(h.w.m_com, h.w.m_direction, h.w.m_protocol, h.w.m_dest_ip,
                                  h.w.m_dest_port, h.w.m_src_port),
                  std::make_tuple(r.port, r.direction, r.protocol, QString("127.0.0.1"),
                                  r.want_dest, r.want_src));
        EXPECT_TRUE(shows(h.f.client_msg, r.client));
        EXPECT_TRUE(!r.server || shows(h.f.server_msg, r.server));
        h.click();  // the half that runs on closes
        EXPECT_TRUE(until([&] {
            return h.f.client_msg->text().endsWith("closed") ||
                   h.f.server_msg->text().endsWith("closed");
        }));
    }

    const unsigned short src = freeUdpPort();
    h.set(gone, CONVERT_UART_TO_ETHERNET, "0", QString::number(src));
    h.click();
    ASSERT_TRUE(shows(h.f.server_msg, "Start UDP reciever"));
    const unsigned char good[7] = {1, 1, 2, 3, 4, 5, 16}, bad[7] = {2, 1, 2, 3, 4, 5, 99};
    converter.sendTo(src, good, 7);
    EXPECT_TRUE(until([&] { return h.arrived() == 1; }));
    EXPECT_EQ(h.f.server_msg->text(), "Start UDP reciever");
    converter.sendTo(src, bad, 7);
    EXPECT_TRUE(until([&] { return h.arrived() == 2; }));
    EXPECT_EQ(h.f.server_msg->text(), "checksum error !");
    h.click();
    EXPECT_TRUE(
        until([&] { return h.f.server_msg->text() == "Socket closed" && h.arrived() == 0; }));
}

// Through socat, each direction: counts rise together; STOP is prompt and leaves both at "0"
// with the closing messages; 25 quick START/STOP cycles leak no descriptor or thread; closing
// the window mid-run ends the event loop with 0 and no closing report is emitted on it.
TEST(Run, ThroughSocatInEachDirection) {
    std::thread([] {}).join();  // a sanitizer runtime starts its own helper thread now
    const int threads = threadCount();
    for (int dir : {CONVERT_ETHERNET_TO_UART, CONVERT_UART_TO_ETHERNET}) {
        SCOPED_TRACE(dir);
        const bool e2u = dir == CONVERT_ETHERNET_TO_UART;
        const unsigned short near_port = freeUdpPort(), far_port = freeUdpPort();
        SocatBridge conv(near_port, far_port, 60);
        if (!conv.ok()) GTEST_SKIP() << conv.error();
        const QString port = QString::fromStdString(conv.ptyPath());
        auto h = std::make_unique<Harness>(port);
        MainWindowTestAccess& f = h->f;
        auto start = [&] {
            h->set(port, dir, QString::number(near_port), QString::number(far_port));
            h->click();
        };
        auto zeroed = [&] { return f.sent->text() == "0" && f.arrived->text() == "0"; };
        start();
        EXPECT_TRUE(until([&] { return h->arrived() >= 10; }))
            << f.server_msg->text().toStdString();
        EXPECT_NEAR(h->arrived(), f.sent->text().toInt(), 3);
        EXPECT_EQ(f.client_msg->text(), e2u ? "Start UDP sender" : "Start UART sender");
        EXPECT_EQ(f.server_msg->text(), e2u ? "Start UART reciever" : "Start UDP reciever");
        QElapsedTimer t;
        t.start();
        h->click();
        EXPECT_LT(t.elapsed(), 5000);
        EXPECT_TRUE(until([&] {
            return zeroed() && f.client_msg->text() == (e2u ? "Socket closed" : "UART closed") &&
                   f.server_msg->text() == (e2u ? "UART closed" : "Socket closed");
        }));

        const int fds = openDescriptorCount(), tasks = threadCount();
        for (int i = 0; i < 25; ++i) {
            start();
            h->click();
        }
        EXPECT_TRUE(until(zeroed));
        QTest::qWait(50);
        EXPECT_EQ(openDescriptorCount(), fds);
        EXPECT_EQ(threadCount(), tasks);

        start();
        ASSERT_TRUE(until([&] { return h->arrived() >= 3; }));
        QObject sink;  // outlives the window: collects every report emitted on it from now on
        QStringList seen;
        for (auto sig : {&MainWindow::Event_updateClientMsg, &MainWindow::Event_updateServerMsg,
                         &MainWindow::Event_updateClientCnt, &MainWindow::Event_updateServerCnt})
            QObject::connect(
                &h->w, sig, &sink, [&](QString s) { seen << s; }, Qt::QueuedConnection);
        QTimer::singleShot(0, &h->w, [&] { h->w.close(); });
        EXPECT_EQ(QApplication::exec(), 0);
        h.reset();
        QCoreApplication::processEvents();
        for (const char* closing : {"Socket closed", "UART closed", "0"})
            EXPECT_FALSE(seen.contains(closing)) << seen.join(",").toStdString();
    }
    EXPECT_TRUE(until([&] { return threadCount() <= threads; }, 5000));
}

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // No window system needed, not even to list the tests at build time; set it to watch.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
