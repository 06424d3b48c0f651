// The window, offscreen, driving the real engine. Serial ports are ptys made
// here (handed over through CONVBENCH_EXTRA_PORTS), the converter is socat,
// all traffic stays on 127.0.0.1.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QMenuBar>
#include <QMetaMethod>
#include <QProcess>
#include <QSerialPortInfo>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <climits>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "loopback.h"
#include "mainwindow.h"
#include "pty_pair.h"
#include "shared_items.h"
#include "socat.h"
#include "window_access.h"

using testsupport::PtyPair;
using testsupport::SocatBridge;
using testsupport::UdpPeer;

namespace {

bool until(const std::function<bool()>& pred, int ms = 15000) {
    return QTest::qWaitFor(pred, ms);
}

int taskCount() {
    return QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
}

QStringList listedPorts() {
    QStringList names;
    for (const QSerialPortInfo& p : QSerialPortInfo::availablePorts()) names << p.portName();
    return names;
}

// One window on the given extra ports, shown offscreen.
struct Harness {
    explicit Harness(const QString& extra_ports = QString()) {
        if (extra_ports.isEmpty())
            qunsetenv("CONVBENCH_EXTRA_PORTS");
        else
            qputenv("CONVBENCH_EXTRA_PORTS", extra_ports.toUtf8());
        w = std::make_unique<MainWindow>();
        qunsetenv("CONVBENCH_EXTRA_PORTS");
        f = std::make_unique<MainWindowTestAccess>(*w);
        w->show();
    }
    // Fills the form for a loopback run on a port made by the test.
    void set(const QString& port, int direction, int dest_port, int src_port) {
        const int i = f->com->findText(port);
        ASSERT_GE(i, 0) << port.toStdString();
        f->com->setCurrentIndex(i);
        f->convert->setCurrentIndex(direction);
        f->dest_ip->setText("127.0.0.1");
        f->dest_port->setText(QString::number(dest_port));
        f->src_port->setText(QString::number(src_port));
    }
    void click() {
        if (w->getPowerBtn()) {  // about to START: loopback only, never a listed port
            ASSERT_EQ(f->dest_ip->text(), "127.0.0.1");
            ASSERT_FALSE(listedPorts().contains(f->com->currentText()));
        }
        QTest::mouseClick(f->btn, Qt::LeftButton);
    }
    int sent() const { return f->sent->text().toInt(); }
    int arrived() const { return f->arrived->text().toInt(); }
    std::unique_ptr<MainWindow> w;
    std::unique_ptr<MainWindowTestAccess> f;
};

}  // namespace

// ---- The form as it opens -------------------------------------------------

TEST(Form, OpensWithItsDefaultsAtAFixedSize) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    Harness h(QString::fromStdString(pty.slavePath()));
    MainWindow& w = *h.w;
    MainWindowTestAccess& f = *h.f;

    EXPECT_EQ(w.windowTitle(), "Quorvane & Enavroq");
    EXPECT_EQ(w.minimumSize(), QSize(1200, 900));
    EXPECT_EQ(w.maximumSize(), QSize(1200, 900));
    EXPECT_TRUE(w.menuBar()->actions().isEmpty());
    EXPECT_TRUE(w.statusBar()->currentMessage().isEmpty());
    EXPECT_EQ(f.btn->text(), "START");
    EXPECT_EQ(f.btn->geometry(), QRect(525, 800, 150, 75));
    EXPECT_EQ(f.client->geometry(), QRect(150, 400, 400, 350));
    EXPECT_EQ(f.server->geometry(), QRect(650, 400, 400, 350));

    // The platform's ports in its order, then the extra ports; the first is current.
    QStringList ports;
    for (int i = 0; i < f.com->count(); ++i) ports << f.com->itemText(i);
    EXPECT_EQ(ports, listedPorts() << QString::fromStdString(pty.slavePath()));
    EXPECT_EQ(f.com->currentIndex(), 0);
    EXPECT_EQ(f.protocol->currentText(), "udp");
    EXPECT_EQ(f.protocol->itemText(1), "tcp");
    EXPECT_EQ(f.convert->currentText(), "ethernet -> uart");
    EXPECT_EQ(f.convert->itemText(1), "uart -> ethernet");
    EXPECT_EQ(f.dest_ip->text(), "192.168.0.30");
    EXPECT_EQ(f.dest_port->text(), "1234");
    EXPECT_EQ(f.src_port->text(), "3456");
    EXPECT_EQ(f.sent_caption->parentWidget(), f.client);  // sender's figures in "client"
    EXPECT_EQ(f.sent_caption->text(), "Number of packages sent:");
    EXPECT_EQ(f.arrived_caption->text(), "Number of packages that arrived:");

    // Counters empty, messages "--massage--" in bold italic Courier.
    EXPECT_TRUE(f.sent->text().isEmpty() && f.arrived->text().isEmpty());
    for (QLabel* m : {f.client_msg, f.server_msg}) {
        EXPECT_EQ(m->text(), "--massage--");
        EXPECT_EQ(m->font().family(), "Courier");
        EXPECT_TRUE(m->font().italic() && m->font().bold());
    }

    // A long message keeps the size the label took when first shown.
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    const QRect before = f.client_msg->geometry();
    EXPECT_GE(before.width(), 350);
    updateClientMsg(std::string(200, 'x'));
    EXPECT_EQ(f.client_msg->geometry(), before);
}

TEST(Form, MetaObjectHasTheSignalsAndSlotsInOrder) {
    const QMetaObject& mo = MainWindow::staticMetaObject;
    const char* want[] = {"0 Event_updateClientMsg(QString) msg",
                          "0 Event_updateServerMsg(QString) msg",
                          "0 Event_updateClientCnt(QString) cnt",
                          "0 Event_updateServerCnt(QString) cnt",
                          "1 updateClientMassage(QString) msg",
                          "1 updateServerMassage(QString) msg",
                          "1 updateClientCounter(QString) cnt",
                          "1 updateServerCounter(QString) cnt",
                          "2 myclick() "};
    ASSERT_EQ(mo.methodCount() - mo.methodOffset(), 9);
    for (int i = 0; i < 9; ++i) {
        const QMetaMethod m = mo.method(mo.methodOffset() + i);
        // 0: public signal, 1: private slot, 2: public slot.
        const int kind = m.methodType() == QMetaMethod::Signal ? 0
                         : m.access() == QMetaMethod::Private  ? 1
                                                               : 2;
        EXPECT_EQ(QString("%1 %2 %3")
                      .arg(kind)
                      .arg(QString(m.methodSignature()))
                      .arg(QString(m.parameterNames().value(0))),
                  want[i]);
    }
}

// With no port listed, the report made while the window is built still shows,
// and a run with the empty port name fails on its serial half only. Ports are
// hidden in a private mount namespace when this machine lists some.
TEST(Form, NoSerialPortPresent) {
    if (!listedPorts().isEmpty()) {
        if (qEnvironmentVariableIsSet("CONVBENCH_NO_PORTS_CHILD"))
            FAIL() << "ports still listed inside the namespace";
        if (QProcess::execute("unshare", {"-m", "true"}) != 0)
            GTEST_SKIP() << "ports are listed here and no mount namespace can hide them";
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("CONVBENCH_NO_PORTS_CHILD", "1");
        env.remove("CONVBENCH_EXTRA_PORTS");
        p.setProcessEnvironment(env);
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start("unshare", {"-m", "sh", "-c",
                            "mount -t tmpfs none /sys/class/tty || exit 77; exec \"$0\" "
                            "--gtest_filter=Form.NoSerialPortPresent",
                            QCoreApplication::applicationFilePath()});
        ASSERT_TRUE(p.waitForFinished(60000));
        if (p.exitCode() == 77) GTEST_SKIP() << "cannot mount over /sys/class/tty";
        EXPECT_EQ(p.exitCode(), 0) << p.readAll().toStdString();
        return;
    }
    Harness h;
    MainWindowTestAccess& f = *h.f;
    EXPECT_EQ(f.com->count(), 0);
    EXPECT_EQ(f.client_msg->text(), "No Active Ports Found");
    EXPECT_EQ(f.server_msg->text(), "--massage--");
    EXPECT_TRUE(f.sent->text().isEmpty() && f.arrived->text().isEmpty());

    // A click passes the empty name: the serial half fails, the UDP half runs.
    f.convert->setCurrentIndex(1);
    f.dest_ip->setText("127.0.0.1");
    f.src_port->setText(QString::number(testsupport::freeUdpPort()));
    h.click();
    EXPECT_TRUE(h.w->m_com.isEmpty());
    EXPECT_TRUE(until([&] { return f.client_msg->text() == "Open UART Failed"; }));
    EXPECT_TRUE(until([&] { return f.server_msg->text() == "Start UDP reciever"; }));
    h.click();
    EXPECT_TRUE(until([&] { return f.server_msg->text() == "Socket closed"; }));
}

// ---- The status path ------------------------------------------------------

TEST(StatusPath, WorkerReportsAreQueuedInOrderAndConverted) {
    Harness h;
    MainWindowTestAccess& f = *h.f;
    QStringList seen;  // filled on the GUI thread, after the window's own slot
    QObject::connect(h.w.get(), &MainWindow::Event_updateServerCnt, h.w.get(),
                     [&](QString c) { seen << c; });

    std::thread worker([] {
        static const char utf8_then_nul[] =
            "Gr\xc3\xbc\xc3\x9f"
            "e\0tail";
        for (int i = 1; i <= 500; ++i) updateServerCnt(i);
        updateClientCnt(INT_MIN);
        updateClientMsg(std::string(utf8_then_nul, sizeof utf8_then_nul - 1));
        updateServerMsg("");
    });
    worker.join();  // returns without the GUI thread's help: delivery never blocks
    EXPECT_TRUE(f.arrived->text().isEmpty());  // nothing touched the labels off-thread
    EXPECT_EQ(f.server_msg->text(), "--massage--");

    ASSERT_TRUE(until([&] { return seen.size() == 500; }));
    for (int i = 0; i < 500; ++i) ASSERT_EQ(seen[i], QString::number(i + 1));
    EXPECT_EQ(f.arrived->text(), "500");
    EXPECT_EQ(f.sent->text(), "-2147483648");
    EXPECT_EQ(f.client_msg->text(), QString::fromUtf8("Gr\xc3\xbc\xc3\x9f"
                                                      "e"));
    EXPECT_TRUE(f.server_msg->text().isEmpty());

    updateClientCnt(0);  // on the GUI thread the call is direct
    EXPECT_EQ(f.sent->text(), "0");
}

TEST(StatusPath, ReportsWithoutAWindowGoNowhere) {
    { Harness h; }
    std::thread([] {
        updateClientMsg("late");
        updateServerCnt(7);
    }).join();
    QCoreApplication::processEvents();
    Harness again;  // a new window is reported to again
    std::thread([] { updateServerMsg("hello"); }).join();
    EXPECT_TRUE(until([&] { return again.f->server_msg->text() == "hello"; }));
}

// ---- Run control ----------------------------------------------------------

TEST(Run, ClickReadsTheFormEveryTime) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    pty.closeSlave();
    const QString port = QString::fromStdString(pty.slavePath());
    UdpPeer converter;
    Harness h(port);
    MainWindow& w = *h.w;
    MainWindowTestAccess& f = *h.f;

    // Defaults but for a loopback destination and our pty.
    f.com->setCurrentIndex(f.com->findText(port));
    f.dest_ip->setText("127.0.0.1");
    f.dest_port->setText(QString::number(converter.port()));
    h.click();
    EXPECT_EQ(w.m_com, port);
    EXPECT_EQ(w.m_direction, CONVERT_ETHERNET_TO_UART);
    EXPECT_EQ(w.m_protocol, 0);
    EXPECT_EQ(w.m_dest_ip, "127.0.0.1");
    EXPECT_EQ(w.m_dest_port, converter.port());
    EXPECT_EQ(w.m_src_port, 3456);
    EXPECT_EQ(f.btn->text(), "STOP");
    EXPECT_EQ(w.getPowerBtn(), 0);
    EXPECT_FALSE(converter.receive(3000).empty());

    // STOP reads the form too; bad numbers become 0.
    f.dest_port->setText("12ab");
    f.src_port->setText("");
    h.click();
    EXPECT_EQ(f.btn->text(), "START");
    EXPECT_EQ(w.m_dest_port, 0);
    EXPECT_EQ(w.m_src_port, 0);

    // "tcp" and the other direction; too large for an int is 0, above 65535 passes unchanged.
    f.protocol->setCurrentIndex(1);
    f.convert->setCurrentIndex(1);
    f.dest_port->setText("99999999999");
    f.src_port->setText("70000");
    h.click();
    EXPECT_EQ(w.m_protocol, 1);
    EXPECT_EQ(w.m_direction, CONVERT_UART_TO_ETHERNET);
    EXPECT_EQ(w.m_dest_port, 0);
    EXPECT_EQ(w.m_src_port, 70000);
    EXPECT_TRUE(
        until([&] { return f.client_msg->text() == "Start UART sender" && h.sent() >= 2; }));
    h.click();
}

static void fullRun(int direction) {
    const unsigned short near_port = testsupport::freeUdpPort(),
                         far_port = testsupport::freeUdpPort();
    SocatBridge conv(near_port, far_port, 60);
    if (!conv.ok()) GTEST_SKIP() << conv.error();
    const QString port = QString::fromStdString(conv.ptyPath());
    Harness h(port);
    MainWindowTestAccess& f = *h.f;
    h.set(port, direction, near_port, far_port);
    h.click();

    const bool e2u = direction == CONVERT_ETHERNET_TO_UART;
    EXPECT_TRUE(until([&] { return h.arrived() >= 10; })) << f.server_msg->text().toStdString();
    EXPECT_NEAR(h.arrived(), h.sent(), 3);  // arrived follows sent
    EXPECT_EQ(f.client_msg->text(), e2u ? "Start UDP sender" : "Start UART sender");
    EXPECT_EQ(f.server_msg->text(), e2u ? "Start UART reciever" : "Start UDP reciever");

    QElapsedTimer t;
    t.start();
    h.click();
    EXPECT_LT(t.elapsed(), 5000);
    EXPECT_EQ(f.btn->text(), "START");
    EXPECT_TRUE(until([&] {
        return f.sent->text() == "0" && f.arrived->text() == "0" &&
               f.client_msg->text() == (e2u ? "Socket closed" : "UART closed") &&
               f.server_msg->text() == (e2u ? "UART closed" : "Socket closed");
    })) << f.sent->text().toStdString()
        << " " << f.arrived->text().toStdString();
}

TEST(Run, EthernetToUartThroughSocat) {
    fullRun(CONVERT_ETHERNET_TO_UART);
}
TEST(Run, UartToEthernetThroughSocat) {
    fullRun(CONVERT_UART_TO_ETHERNET);
}

TEST(Run, MissingDeviceFailsItsOwnHalfOnly) {
    PtyPair pty;
    QTemporaryDir dir;
    const QString link = dir.filePath("ttyGONE");
    ASSERT_TRUE(QFile::link(QString::fromStdString(pty.slavePath()), link));
    UdpPeer converter;
    Harness h(link);
    MainWindowTestAccess& f = *h.f;
    ASSERT_TRUE(QFile::remove(link));  // listed at start-up, gone by START

    h.set(link, CONVERT_ETHERNET_TO_UART, converter.port(), 0);
    h.click();
    EXPECT_TRUE(until([&] { return f.server_msg->text() == "UART open failed"; }));
    EXPECT_FALSE(converter.receive(3000).empty());
    h.click();
    EXPECT_TRUE(until([&] { return f.client_msg->text() == "Socket closed"; }));
    EXPECT_TRUE(f.arrived->text().isEmpty());

    h.set(link, CONVERT_UART_TO_ETHERNET, 0, testsupport::freeUdpPort());
    h.click();
    EXPECT_TRUE(until([&] { return f.client_msg->text() == "Open UART Failed"; }));
    EXPECT_TRUE(until([&] { return f.server_msg->text() == "Start UDP reciever"; }));
    h.click();
    EXPECT_TRUE(until([&] { return f.server_msg->text() == "Socket closed"; }));
}

TEST(Run, SourcePortTakenAndBadChecksum) {
    PtyPair pty;
    pty.closeSlave();
    const QString port = QString::fromStdString(pty.slavePath());
    Harness h(port);
    MainWindowTestAccess& f = *h.f;

    {
        UdpPeer holder;  // someone else has the source port
        h.set(port, CONVERT_UART_TO_ETHERNET, 0, holder.port());
        h.click();
        EXPECT_TRUE(until([&] { return f.server_msg->text() == "Open Socket failed"; }));
        EXPECT_TRUE(until([&] { return f.client_msg->text() == "Start UART sender"; }));
        h.click();
        EXPECT_TRUE(until([&] { return f.client_msg->text() == "UART closed"; }));
        EXPECT_TRUE(f.arrived->text().isEmpty());
    }

    const unsigned short src = testsupport::freeUdpPort();
    h.set(port, CONVERT_UART_TO_ETHERNET, 0, src);
    h.click();
    ASSERT_TRUE(until([&] { return f.server_msg->text() == "Start UDP reciever"; }));
    UdpPeer converter;
    const unsigned char good[7] = {1, 1, 2, 3, 4, 5, 16}, bad[7] = {2, 1, 2, 3, 4, 5, 99};
    converter.sendTo(src, good, 7);
    EXPECT_TRUE(until([&] { return h.arrived() == 1; }));
    EXPECT_EQ(f.server_msg->text(), "Start UDP reciever");
    converter.sendTo(src, bad, 7);
    EXPECT_TRUE(
        until([&] { return h.arrived() == 2 && f.server_msg->text() == "checksum error !"; }));
    h.click();
    EXPECT_TRUE(until([&] { return f.server_msg->text() == "Socket closed" && h.arrived() == 0; }));
}

// Closing the window during a run ends the event loop with status 0; the window
// then stops both workers, and their closing reports never reach it.
TEST(Run, WindowClosedDuringARun) {
    std::thread([] {}).join();  // a sanitizer runtime starts its own helper thread now
    const int tasks = taskCount();
    for (int direction : {CONVERT_ETHERNET_TO_UART, CONVERT_UART_TO_ETHERNET}) {
        const unsigned short near_port = testsupport::freeUdpPort(),
                             far_port = testsupport::freeUdpPort();
        SocatBridge conv(near_port, far_port, 60);
        if (!conv.ok()) GTEST_SKIP() << conv.error();
        auto h = std::make_unique<Harness>(QString::fromStdString(conv.ptyPath()));
        h->set(QString::fromStdString(conv.ptyPath()), direction, near_port, far_port);
        h->click();
        ASSERT_TRUE(until([&] { return h->arrived() >= 3; }));

        std::mutex m;
        QStringList seen;  // every report emitted on the window from now on, on any thread
        auto record = [&](QString s) {
            std::lock_guard<std::mutex> l(m);
            seen << s;
        };
        for (auto sig : {&MainWindow::Event_updateClientMsg, &MainWindow::Event_updateServerMsg,
                         &MainWindow::Event_updateClientCnt, &MainWindow::Event_updateServerCnt})
            QObject::connect(h->w.get(), sig, record);

        QTimer::singleShot(0, h->w.get(), [&] { h->w->close(); });
        EXPECT_EQ(QApplication::exec(), 0);
        h.reset();
        // The workers' closing reports come after g_this was cleared: none was emitted.
        std::lock_guard<std::mutex> l(m);
        for (const char* closing : {"Socket closed", "UART closed", "0"})
            EXPECT_FALSE(seen.contains(closing)) << seen.join(",").toStdString();
    }
    EXPECT_TRUE(until([&] { return taskCount() <= tasks; }, 5000));
}

TEST(Run, QuickStartStopCyclesLeakNothing) {
    const unsigned short near_port = testsupport::freeUdpPort(),
                         far_port = testsupport::freeUdpPort();
    SocatBridge conv(near_port, far_port, 120);
    if (!conv.ok()) GTEST_SKIP() << conv.error();
    const QString port = QString::fromStdString(conv.ptyPath());
    Harness h(port);
    auto cycle = [&](int direction) {
        h.set(port, direction, near_port, far_port);
        h.click();
        h.click();
        ASSERT_EQ(h.f->btn->text(), "START");
    };
    cycle(0);
    cycle(1);
    QTest::qWait(50);
    const int fds = testsupport::openDescriptorCount(), tasks = taskCount();
    for (int i = 0; i < 50; ++i) cycle(i % 2);
    EXPECT_TRUE(until([&] { return h.f->sent->text() == "0" && h.f->arrived->text() == "0"; }));
    QTest::qWait(50);
    EXPECT_EQ(testsupport::openDescriptorCount(), fds);
    EXPECT_EQ(taskCount(), tasks);
}

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // Listing the tests (done at build time, without the test environment)
    // needs no window system.
    if (testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
    // CTest sets the offscreen platform; with no display at all use it too.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
