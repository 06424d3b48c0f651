// Reach into the window from tests and benchmarks: MainWindow names this
// struct as a friend, so it can hand out the form's widgets by role.
#pragma once

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <functional>

#include "mainwindow.h"

struct MainWindowTestAccess {
    explicit MainWindowTestAccess(MainWindow& w)
        : btn(w.power_btn),
          com(w.com_cb),
          protocol(w.protocol_cb),
          convert(w.convert_type_cb),
          dest_ip(w.dest_ip_le),
          dest_port(w.dest_port_le),
          src_port(w.src_port_le),
          sent(w.packages_arrived_counter_lbl),  // the client group's count
          client_msg(w.client_massage_lbl),
          arrived(w.packages_sent_counter_lbl),  // the server group's count
          server_msg(w.server_massage_lbl),
          show_figures([&w](const measure::Figures& f) { w.showFigures(f); }) {}
    QPushButton* btn;
    QComboBox *com, *protocol, *convert;
    QLineEdit *dest_ip, *dest_port, *src_port;
    QLabel *sent, *client_msg, *arrived, *server_msg;
    // Shows figures in the status bar line as the window does during a run.
    std::function<void(const measure::Figures&)> show_figures;
};
