// The tester's one window: the definitions form, the START/STOP button and
// the two result areas. Workers report through the four status functions of
// shared_items.h to the sink the window registers while it exists (itself),
// which turns every report into a queued signal.
#pragma once

#include <QComboBox>
#include <QMainWindow>
#include <QString>
#include <memory>

#include "client.h"
#include "server.h"
#include "status_sink.h"
#include "traffic.h"

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;

// The serial port box. Port paths are longer than the box is wide: it shows
// the end of the path ("...ttyCONV"), which tells ports apart, and the whole
// path as its tooltip. The current text stays the whole path.
class PortComboBox : public QComboBox {
public:
    using QComboBox::QComboBox;
    // What the box shows: the current text, cut at its start to fit the field.
    QString shownText() const;

protected:
    void paintEvent(QPaintEvent* event) override;
};

namespace Ui {
class MainWindow;
}

class MainWindow : public QMainWindow, private StatusSink {
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow();

    // 1 while the button reads "START" (idle), 0 while it reads "STOP".
    int getPowerBtn();

    // Run parameters, read from the form at every click.
    int m_direction = -1;
    int m_protocol = -1;
    QString m_com;
    QString m_dest_ip;
    int m_dest_port = 0;
    int m_src_port = 0;

signals:
    void Event_updateClientMsg(QString msg);
    void Event_updateServerMsg(QString msg);
    void Event_updateClientCnt(QString cnt);
    void Event_updateServerCnt(QString cnt);

private slots:
    void updateClientMassage(QString msg);
    void updateServerMassage(QString msg);
    void updateClientCounter(QString cnt);
    void updateServerCounter(QString cnt);

public slots:
    void myclick();

private:
    // StatusSink: a worker's report, on the worker's thread.
    void clientMsg(const std::string& msg) override;
    void serverMsg(const std::string& msg) override;
    void clientCnt(int cnt) override;
    void serverCnt(int cnt) override;

    void init_home_page();
    void start();
    void stop();
    void showFigures(const measure::Figures& f);

    client Client;
    server Server;

    QGroupBox* definitions_group = nullptr;
    QGroupBox* client_group = nullptr;
    QGroupBox* server_group = nullptr;
    QPushButton* power_btn = nullptr;
    QLabel* com_lbl = nullptr;
    QComboBox* com_cb = nullptr;
    QLabel* protocol_lbl = nullptr;
    QComboBox* protocol_cb = nullptr;
    QLabel* convert_type_lbl = nullptr;
    QComboBox* convert_type_cb = nullptr;
    QLabel* dest_ip_lbl = nullptr;
    QLineEdit* dest_ip_le = nullptr;
    QLabel* dest_port_lbl = nullptr;
    QLineEdit* dest_port_le = nullptr;
    QLabel* src_port_lbl = nullptr;
    QLineEdit* src_port_le = nullptr;
    // Client group: the sender's figures (caption "Number of packages sent:").
    QLabel* packages_arrived_lbl = nullptr;
    QLabel* packages_arrived_counter_lbl = nullptr;
    QLabel* client_massage_lbl = nullptr;
    // Server group: the receiver's figures (caption "Number of packages that arrived:").
    QLabel* packages_sent_lbl = nullptr;
    QLabel* packages_sent_counter_lbl = nullptr;
    QLabel* server_massage_lbl = nullptr;

    Ui::MainWindow* ui = nullptr;

    // The run's measured direction, fed by both workers; made at START, kept
    // after STOP for its final figures. The workers are joined before it goes.
    std::unique_ptr<traffic::Monitor> monitor;
    QTimer* figures_timer = nullptr;  // refreshes the status bar line during a run
    // When the run began, for its record in the results store (if one is set).
    std::string run_started_at;
    int64_t run_start_ns = 0;

    // The window tests reach the widgets through this.
    friend struct MainWindowTestAccess;
};
