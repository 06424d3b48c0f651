#include "mainwindow.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QFont>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QStyleOptionComboBox>
#include <QStylePainter>
#include <QTimer>

#include <algorithm>

#include "run_record.h"
#include "shared_items.h"
#include "status_sink.h"
#include "ui_mainwindow.h"

namespace {

const QString definitions_box =
    "QGroupBox {background: rgb(243,249,237); border: 1px solid black; margin-top:13px; "
    "font-size: 17px}";
const QString client_box = definitions_box;
const QString server_box = definitions_box;

const char* const button_style =
    "QPushButton {font-size: 30px; border: 2px solid black; border-radius: 15%; "
    "background: rgb(243,249,237); } QPushButton:hover{background: rgb(255,255,255)}";
const char* const field_style = "font-size: 20px;";
const char* const counter_style = "font-size: 50px;";
const char* const message_style = "font-size: 30px; color: rgb(180,0,0)";

// The measured run: counter-byte packets, a packet overdue by a second is lost.
constexpr int64_t kLatencyBoundNs = 1000000000;
constexpr int kFiguresIntervalMs = 250;
// A hold-up of the tester longer than this is shown: figures may suffer from it.
constexpr double kTesterStallMs = 50;

// Milliseconds with two decimals, from microseconds.
QString ms(double us) {
    return QString::number(us / 1000.0, 'f', 2);
}

}  // namespace

// Reports from the workers, on their threads. The window's connections are
// automatic, so each is queued to the GUI thread and the worker never waits.

void MainWindow::clientMsg(const std::string& msg) {
    emit Event_updateClientMsg(QString::fromUtf8(msg.c_str()));
}

void MainWindow::serverMsg(const std::string& msg) {
    emit Event_updateServerMsg(QString::fromUtf8(msg.c_str()));
}

void MainWindow::clientCnt(int cnt) {
    emit Event_updateClientCnt(QString::number(cnt, 10));
}

void MainWindow::serverCnt(int cnt) {
    emit Event_updateServerCnt(QString::number(cnt, 10));
}

QString PortComboBox::shownText() const {
    QStyleOptionComboBox opt;
    initStyleOption(&opt);
    const QRect field =
        style()->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField, this);
    return fontMetrics().elidedText(currentText(), Qt::ElideLeft, field.width());
}

void PortComboBox::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    painter.setPen(palette().color(QPalette::Text));
    QStyleOptionComboBox opt;
    initStyleOption(&opt);
    painter.drawComplexControl(QStyle::CC_ComboBox, opt);
    opt.currentText = shownText();
    painter.drawControl(QStyle::CE_ComboBoxLabel, opt);
}

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent), ui(new Ui::MainWindow) {
    registerStatusSink(this);
    ui->setupUi(this);

    // The port list may report "No Active Ports Found" now, before the
    // message label exists and before the window's own connections are made.
    // Keep what is reported here and show it once the form is built.
    QString early_client_msg;
    bool have_early_client_msg = false;
    const QMetaObject::Connection early = connect(
        this, &MainWindow::Event_updateClientMsg, this,
        [&](QString msg) {
            early_client_msg = msg;
            have_early_client_msg = true;
        },
        Qt::DirectConnection);
    Client.SelectComPort();
    disconnect(early);

    init_home_page();
    if (have_early_client_msg) client_massage_lbl->setText(early_client_msg);

    connect(power_btn, SIGNAL(clicked()), this, SLOT(myclick()));
    connect(this, SIGNAL(Event_updateClientMsg(QString)), this, SLOT(updateClientMassage(QString)));
    connect(this, SIGNAL(Event_updateServerMsg(QString)), this, SLOT(updateServerMassage(QString)));
    connect(this, SIGNAL(Event_updateClientCnt(QString)), this, SLOT(updateClientCounter(QString)));
    connect(this, SIGNAL(Event_updateServerCnt(QString)), this, SLOT(updateServerCounter(QString)));

    figures_timer = new QTimer(this);
    figures_timer->setInterval(kFiguresIntervalMs);
    connect(figures_timer, &QTimer::timeout, this, [this] {
        if (monitor) showFigures(monitor->figures(traffic::nowNs()));
    });
}

MainWindow::~MainWindow() {
    unregisterStatusSink(this);
    // A run may still be going when the window closes: end it as STOP does,
    // sender first, so neither worker is destroyed with its thread running.
    // Their closing reports find no sink and go nowhere.
    Client.stop_client();
    Server.stop_server();
    figures_timer->stop();
    Client.m_monitor = nullptr;
    Server.m_monitor = nullptr;
    delete ui;
}

void MainWindow::init_home_page() {
    QFont massage_font("Courier");
    massage_font.setStyleHint(QFont::Serif);
    massage_font.setItalic(true);
    massage_font.setBold(true);

    resize(1200, 900);
    setFixedSize(width(), height());
    setWindowTitle("Quorvane & Enavroq");

    definitions_group = new QGroupBox(this);
    definitions_group->setTitle(tr("definitions"));
    definitions_group->setGeometry(400, 30, 400, 350);
    definitions_group->setStyleSheet(definitions_box);

    client_group = new QGroupBox(this);
    client_group->setTitle(tr("client"));
    client_group->setGeometry(150, 400, 400, 350);
    client_group->setStyleSheet(client_box);

    server_group = new QGroupBox(this);
    server_group->setTitle(tr("server"));
    server_group->setGeometry(650, 400, 400, 350);
    server_group->setStyleSheet(server_box);

    power_btn = new QPushButton(this);
    power_btn->setGeometry(525, 800, 150, 75);
    power_btn->setText("START");
    power_btn->setStyleSheet(button_style);

    // Definitions.
    com_lbl = new QLabel(definitions_group);
    com_lbl->setText("Serial port:");
    com_lbl->move(30, 50);
    com_lbl->setStyleSheet(field_style);

    com_cb = new PortComboBox(definitions_group);
    for (const std::string& port : Client.m_com_port_list) {
        const QString name = QString::fromStdString(port);
        com_cb->addItem(name);
        com_cb->setItemData(com_cb->count() - 1, name, Qt::ToolTipRole);
    }
    com_cb->setGeometry(170, 50, 100, 30);
    com_cb->setStyleSheet(field_style);
    com_cb->view()->setTextElideMode(Qt::ElideLeft);  // the list shows the ends of paths too
    com_cb->setToolTip(com_cb->currentText());
    connect(com_cb, &QComboBox::currentTextChanged, com_cb, &QWidget::setToolTip);

    protocol_lbl = new QLabel(definitions_group);
    protocol_lbl->setText("Protocol:");
    protocol_lbl->move(30, 100);
    protocol_lbl->setStyleSheet(field_style);

    protocol_cb = new QComboBox(definitions_group);
    protocol_cb->addItem("udp");
    protocol_cb->addItem("tcp");
    protocol_cb->setGeometry(170, 100, 60, 30);
    protocol_cb->setStyleSheet(field_style);

    convert_type_lbl = new QLabel(definitions_group);
    convert_type_lbl->setText("Convert type:");
    convert_type_lbl->move(30, 150);
    convert_type_lbl->setStyleSheet(field_style);

    convert_type_cb = new QComboBox(definitions_group);
    convert_type_cb->addItem("ethernet -> uart");
    convert_type_cb->addItem("uart -> ethernet");
    convert_type_cb->setGeometry(170, 150, 200, 30);
    convert_type_cb->setStyleSheet(field_style);

    dest_ip_lbl = new QLabel(definitions_group);
    dest_ip_lbl->setText("Dest IP:");
    dest_ip_lbl->setGeometry(30, 200, 200, 30);
    dest_ip_lbl->setStyleSheet(field_style);

    dest_ip_le = new QLineEdit(definitions_group);
    dest_ip_le->setText("192.168.0.30");
    dest_ip_le->setGeometry(170, 200, 200, 30);
    dest_ip_le->setStyleSheet(field_style);

    dest_port_lbl = new QLabel(definitions_group);
    dest_port_lbl->setText("Dest Port:");
    dest_port_lbl->setGeometry(30, 250, 200, 30);
    dest_port_lbl->setStyleSheet(field_style);

    dest_port_le = new QLineEdit(definitions_group);
    dest_port_le->setText("1234");
    dest_port_le->setGeometry(170, 250, 200, 30);
    dest_port_le->setStyleSheet(field_style);

    src_port_lbl = new QLabel(definitions_group);
    src_port_lbl->setText("Source Port:");
    src_port_lbl->setGeometry(30, 300, 200, 30);
    src_port_lbl->setStyleSheet(field_style);

    src_port_le = new QLineEdit(definitions_group);
    src_port_le->setText("3456");
    src_port_le->setGeometry(170, 300, 200, 30);
    src_port_le->setStyleSheet(field_style);

    // Client group: the sender's count and message.
    packages_arrived_lbl = new QLabel(client_group);
    packages_arrived_lbl->setText("Number of packages sent:");
    packages_arrived_lbl->move(70, 50);
    packages_arrived_lbl->setStyleSheet(field_style);
    packages_arrived_lbl->setAlignment(Qt::AlignCenter);

    packages_arrived_counter_lbl = new QLabel(client_group);
    packages_arrived_counter_lbl->move(100, 100);
    packages_arrived_counter_lbl->setMinimumSize(200, 100);
    packages_arrived_counter_lbl->setStyleSheet(counter_style);
    packages_arrived_counter_lbl->setAlignment(Qt::AlignCenter);

    client_massage_lbl = new QLabel(client_group);
    client_massage_lbl->setText("--massage--");
    client_massage_lbl->move(25, 250);
    client_massage_lbl->setMinimumSize(350, 50);
    client_massage_lbl->setFont(massage_font);
    client_massage_lbl->setStyleSheet(message_style);
    client_massage_lbl->setAlignment(Qt::AlignCenter);

    // Server group: the receiver's count and message.
    packages_sent_lbl = new QLabel(server_group);
    packages_sent_lbl->setText("Number of packages that arrived:");
    packages_sent_lbl->move(50, 50);
    packages_sent_lbl->setStyleSheet(field_style);
    packages_sent_lbl->setAlignment(Qt::AlignCenter);

    packages_sent_counter_lbl = new QLabel(server_group);
    packages_sent_counter_lbl->move(100, 100);
    packages_sent_counter_lbl->setMinimumSize(200, 100);
    packages_sent_counter_lbl->setStyleSheet(counter_style);
    packages_sent_counter_lbl->setAlignment(Qt::AlignCenter);

    server_massage_lbl = new QLabel(server_group);
    server_massage_lbl->setText("--massage--");
    server_massage_lbl->move(25, 250);
    server_massage_lbl->setMinimumSize(350, 50);
    server_massage_lbl->setFont(massage_font);
    server_massage_lbl->setStyleSheet(message_style);
    server_massage_lbl->setAlignment(Qt::AlignCenter);
}

void MainWindow::updateClientMassage(QString msg) {
    client_massage_lbl->setText(msg);
}

void MainWindow::updateServerMassage(QString msg) {
    server_massage_lbl->setText(msg);
}

void MainWindow::updateClientCounter(QString cnt) {
    packages_arrived_counter_lbl->setText(cnt);
}

void MainWindow::updateServerCounter(QString cnt) {
    packages_sent_counter_lbl->setText(cnt);
}

int MainWindow::getPowerBtn() {
    return power_btn->text() == "START" ? 1 : 0;
}

void MainWindow::myclick() {
    m_com = com_cb->currentText();
    m_direction = convert_type_cb->currentText() == "ethernet -> uart" ? CONVERT_ETHERNET_TO_UART
                                                                       : CONVERT_UART_TO_ETHERNET;
    m_protocol = protocol_cb->currentText() == "udp" ? 0 : 1;
    m_dest_ip = dest_ip_le->text();
    m_dest_port = dest_port_le->text().toInt(nullptr, 10);
    m_src_port = src_port_le->text().toInt(nullptr, 10);

    if (getPowerBtn())
        start();
    else
        stop();
}

void MainWindow::start() {
    power_btn->setText("STOP");
    // No worker runs between runs, so the last run's monitor can go.
    statusBar()->clearMessage();
    monitor = std::make_unique<traffic::Monitor>(measure::Format::Counter8, kLatencyBoundNs);
    Client.m_monitor = monitor.get();
    Server.m_monitor = monitor.get();
    figures_timer->start();
    run_started_at = window_record::utcNow();
    run_start_ns = traffic::nowNs();
    Server.start_server(m_direction, m_protocol, m_com.toStdString(), m_src_port);
    Client.start_client(m_direction, m_protocol, m_com.toStdString(), m_dest_ip.toStdString(),
                        m_dest_port);
}

void MainWindow::stop() {
    power_btn->setText("START");
    Client.stop_client();
    Server.stop_server();
    figures_timer->stop();
    // Both workers are joined. Packets still on their way at STOP are left out
    // of the figures rather than counted lost.
    if (!monitor) return;
    window_record::WindowRun run;
    run.figures = monitor->finish(traffic::nowNs(), false);
    showFigures(run.figures);
    // The run's record, when a results store is set; the status line says
    // when it could not be written.
    run.started_at = run_started_at;
    run.elapsed_s = static_cast<double>(traffic::nowNs() - run_start_ns) / 1e9;
    run.direction = m_direction == CONVERT_ETHERNET_TO_UART ? "e2u" : "u2e";
    run.port = m_com.toStdString();
    run.address = m_dest_ip.toStdString() + ":" + std::to_string(m_dest_port);
    run.receiver_open = Server.m_receiver_state != server::kNotOpen;
    const std::string note = window_record::record(window_record::settings(), run);
    if (!note.empty())
        statusBar()->showMessage(statusBar()->currentMessage() + QString::fromUtf8(" \u00b7 ") +
                                 QString::fromStdString(note));
}

// One line: what went wrong so far, and the one-way latency of what arrived;
// or, when the receiving side never opened, that there is nothing to measure
// (the sender's packets had nowhere to arrive: they are not the converter's loss).
// Then what is not the converter's doing: the tester's own serial port gone,
// its own packets echoed back, the tester itself held up.
void MainWindow::showFigures(const measure::Figures& f) {
    const QString sep = QString::fromUtf8(" \u00b7 ");
    QString line;
    if (Server.m_receiver_state == server::kNotOpen) {
        line = "receiver not open: no figures";
    } else {
        line = "lost " + QString::number(f.lost) + sep + "duplicated " +
               QString::number(f.duplicated) + sep + "reordered " + QString::number(f.reordered) +
               sep + "corrupt " + QString::number(f.corrupt) + sep + "latency ";
        if (f.latency.count > 0)
            line += "p50 " + ms(f.latency.p50_us) + " ms p99 " + ms(f.latency.p99_us) + " ms";
        else
            line += "-";
    }
    // One worker holds the serial port in a run; the other's figure stays 0.
    const uint64_t port_lost_ms =
        std::max(Client.m_serial_outage.total_ms.load(), Server.m_serial_outage.total_ms.load());
    if (port_lost_ms > 0)
        line += sep + "serial port lost " + QString::number(port_lost_ms / 1000.0, 'f', 1) + " s";
    // The tester's own packets come back on the line: a line that echoes.
    if (f.echoed > 0) line += sep + "echoed " + QString::number(f.echoed);
    if (f.tester.longest_stall_ms > kTesterStallMs)
        line += sep + "tester held up " + QString::number(f.tester.longest_stall_ms, 'f', 0) +
                " ms at " + QString::number(f.tester.stall_at_s, 'f', 1) + " s";
    statusBar()->showMessage(line);
}
