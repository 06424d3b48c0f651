// Reach into the window from tests and benchmarks: MainWindow names this
// struct as a friend, so it can hand out the form's widgets by role.
#pragma once

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "mainwindow.h"

struct MainWindowTestAccess {
    explicit MainWindowTestAccess(MainWindow& w)
        : definitions(w.definitions_group),
          client(w.client_group),
          server(w.server_group),
          btn(w.power_btn),
          com_lbl(w.com_lbl),
          com(w.com_cb),
          protocol_lbl(w.protocol_lbl),
          protocol(w.protocol_cb),
          convert_lbl(w.convert_type_lbl),
          convert(w.convert_type_cb),
          dest_ip_lbl(w.dest_ip_lbl),
          dest_ip(w.dest_ip_le),
          dest_port_lbl(w.dest_port_lbl),
          dest_port(w.dest_port_le),
          src_port_lbl(w.src_port_lbl),
          src_port(w.src_port_le),
          sent_caption(w.packages_arrived_lbl),
          sent(w.packages_arrived_counter_lbl),
          client_msg(w.client_massage_lbl),
          arrived_caption(w.packages_sent_lbl),
          arrived(w.packages_sent_counter_lbl),
          server_msg(w.server_massage_lbl) {}
    QGroupBox *definitions, *client, *server;
    QPushButton* btn;
    QLabel* com_lbl;
    QComboBox* com;
    QLabel* protocol_lbl;
    QComboBox* protocol;
    QLabel* convert_lbl;
    QComboBox* convert;
    QLabel* dest_ip_lbl;
    QLineEdit* dest_ip;
    QLabel* dest_port_lbl;
    QLineEdit* dest_port;
    QLabel* src_port_lbl;
    QLineEdit* src_port;
    QLabel *sent_caption, *sent, *client_msg, *arrived_caption, *arrived, *server_msg;
};
