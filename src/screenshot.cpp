// Renders the real window in the middle of a run to a PNG, for the README.
// socat plays the converter between a pty and UDP on 127.0.0.1; the window runs
// "ethernet -> uart" through it for a few seconds, then the window is grabbed.
// Usage: convbench_screenshot OUTPUT.png (scripts/screenshot runs it offscreen).
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

#include "mainwindow.h"

namespace {

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
        spin(10);
    }
    return true;
}

// Binds a UDP socket to 127.0.0.1:port (0: any) and returns the port it got,
// or 0 when the bind failed.
unsigned short bindLoopback(int fd, unsigned short port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return 0;
    return ntohs(a.sin_port);
}

// The form's default port if it is free on 127.0.0.1, else any free one; 0 if
// none was found.
unsigned short freeUdpPort(unsigned short preferred) {
    unsigned short port = 0;
    for (unsigned short want : {preferred, static_cast<unsigned short>(0)}) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        if (fd < 0) return 0;
        port = bindLoopback(fd, want);
        ::close(fd);
        if (port != 0) break;
    }
    return port;
}

QLineEdit* editHolding(QWidget& w, const QString& text) {
    for (QLineEdit* e : w.findChildren<QLineEdit*>())
        if (e->text() == text) return e;
    return nullptr;
}

QComboBox* comboHolding(QWidget& w, const QString& item) {
    for (QComboBox* c : w.findChildren<QComboBox*>())
        if (c->findText(item) >= 0) return c;
    return nullptr;
}

int fail(const char* what) {
    std::fprintf(stderr, "convbench_screenshot: %s\n", what);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc != 2) return fail("usage: convbench_screenshot OUTPUT.png");
    const QString output = QString::fromLocal8Bit(argv[1]);

    QTemporaryDir dir(QDir::tempPath() + "/convbench-shot-XXXXXX");
    const QString link = dir.filePath("ttyCONV");
    const unsigned short near_port = freeUdpPort(1234), far_port = freeUdpPort(3456);
    if (!dir.isValid() || near_port == 0 || far_port == 0) return fail("no temporary dir or port");

    QProcess socat;
    socat.start(
        "socat",
        {"pty,raw,echo=0,link=" + link,
         QString("udp4-datagram:127.0.0.1:%1,bind=127.0.0.1:%2").arg(far_port).arg(near_port)});
    if (!socat.waitForStarted(5000)) return fail("socat could not be started");
    if (!until([&] { return QFileInfo::exists(link); }, 5000)) return fail("socat made no pty");

    qputenv("CONVBENCH_EXTRA_PORTS", link.toUtf8());
    MainWindow w;
    qunsetenv("CONVBENCH_EXTRA_PORTS");
    w.show();

    QComboBox* com = comboHolding(w, link);
    QComboBox* convert = comboHolding(w, "ethernet -> uart");
    QLineEdit* dest_ip = editHolding(w, "192.168.0.30");
    QLineEdit* dest_port = editHolding(w, "1234");
    QLineEdit* src_port = editHolding(w, "3456");
    QPushButton* button = w.findChild<QPushButton*>();
    if (!com || !convert || !dest_ip || !dest_port || !src_port || !button)
        return fail("the form is not as expected");
    com->setCurrentText(link);
    convert->setCurrentText("ethernet -> uart");
    dest_ip->setText("127.0.0.1");  // the socat converter, on loopback only
    dest_port->setText(QString::number(near_port));
    src_port->setText(QString::number(far_port));

    button->click();
    spin(3200);
    const bool saved = w.grab().save(output, "PNG");
    button->click();
    spin(100);

    socat.terminate();
    socat.waitForFinished(3000);
    if (!saved) return fail("could not write the image");
    std::printf("%s\n", qPrintable(output));
    return 0;
}
