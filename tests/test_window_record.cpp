// The window's record in the results store, through the real window
// offscreen: a run STARTed and STOPped with a store set (in the settings file,
// the environment over it) is recorded with the count the window showed; a
// store it cannot write leaves the run in the spool and a note on the status line.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>

#include <fstream>

#include "loopback.h"
#include "pty_pair.h"
#include "shared_items.h"
#include "store.h"
#include "window_access.h"

using namespace testsupport;

namespace {

// One run through 127.0.0.1: packets to a UDP peer that keeps them, the
// receiver on a pty nobody writes to. The count the window showed at STOP.
int startAndStop(MainWindow& w, const QString& port, unsigned short dest) {
    MainWindowTestAccess f(w);
    f.com->setCurrentIndex(f.com->findText(port));
    f.convert->setCurrentIndex(CONVERT_ETHERNET_TO_UART);
    f.protocol->setCurrentIndex(0);
    f.dest_ip->setText("127.0.0.1");
    f.dest_port->setText(QString::number(dest));
    f.src_port->setText(QString::number(freeUdpPort()));
    f.btn->click();
    for (int i = 0; i < 500 && f.sent->text().toInt() < 3; ++i) QTest::qWait(20);
    const int sent = f.sent->text().toInt();
    f.btn->click();
    return sent;
}

}  // namespace

TEST(WindowRecord, StopRecordsTheRunOrSaysWhyNot) {
    QTemporaryDir dir;
    PtyPair pty;
    UdpPeer converter;
    ASSERT_TRUE(dir.isValid() && pty.ok() && converter.ok());
    const QString port = QString::fromStdString(pty.slavePath());
    const std::string db = dir.filePath("w.db").toStdString();
    ASSERT_TRUE(QDir(dir.path()).mkpath("convbench"));
    std::ofstream(dir.filePath("convbench/window.conf").toStdString())
        << "# the bench's store\ndb = " << db << "\nspool=" << dir.filePath("spool").toStdString()
        << "\ndut=SN-FILE\nstation=bench-1\n";
    qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());
    qputenv("CONVBENCH_DUT", "SN-WINDOW");
    for (const char* v : {"CONVBENCH_DB", "CONVBENCH_SPOOL", "CONVBENCH_STATION"}) qunsetenv(v);
    qputenv("CONVBENCH_EXTRA_PORTS", port.toUtf8());
    MainWindow w;
    qunsetenv("CONVBENCH_EXTRA_PORTS");
    w.show();

    const int sent = startAndStop(w, port, converter.port());
    ASSERT_GE(sent, 3);
    EXPECT_FALSE(w.statusBar()->currentMessage().contains("record"))
        << w.statusBar()->currentMessage().toStdString();
    std::string error;
    auto s = store::Store::open(db, {}, &error);
    ASSERT_TRUE(s) << error;
    std::vector<store::Summary> runs;
    ASSERT_TRUE(s->list({}, &runs, &error)) << error;
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].dut, "SN-WINDOW");
    EXPECT_EQ(runs[0].station, "bench-1");
    EXPECT_EQ(runs[0].outcome, "pass");  // nothing lost: packets on their way at STOP left out
    store::Run run;
    bool found = false;
    ASSERT_TRUE(s->get(runs[0].id, &run, &found, &error) && found) << error;
    ASSERT_EQ(run.channels.size(), 1u);
    ASSERT_FALSE(run.channels[0].directions.empty());
    const store::Figure& f = run.channels[0].directions[0].figures.at(0);
    EXPECT_EQ(f.name, "sent");
    EXPECT_GE(f.value, sent);  // the last packets may go out after the count was read

    qputenv("CONVBENCH_DB", dir.filePath("no-such-folder/w.db").toUtf8());
    startAndStop(w, port, converter.port());
    EXPECT_TRUE(w.statusBar()->currentMessage().contains("record kept in the spool: "))
        << w.statusBar()->currentMessage().toStdString();
    EXPECT_EQ(QDir(dir.filePath("spool")).entryList({"*.json"}).size(), 1);
    for (const char* v : {"CONVBENCH_DB", "CONVBENCH_DUT"}) qunsetenv(v);
}

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
