// The sender's list of serial ports, made with Qt's port enumeration. It is
// part of the window's library: the engine itself builds without Qt.
#include <QDir>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <QStringList>
#include <cstdlib>

#include "client.h"
#include "shared_items.h"

void client::SelectComPort() {
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo& info : ports)
        m_com_port_list.push_back(info.portName().toStdString());

    // Virtual ports (socat ptys and the like) are never listed by the system;
    // the environment may name them, separated as in PATH. Only existing paths
    // count.
    if (const char* extra = std::getenv("CONVBENCH_EXTRA_PORTS")) {
        const QStringList paths = QString::fromLocal8Bit(extra).split(QDir::listSeparator());
        for (const QString& path : paths) {
            if (!path.isEmpty() && QFileInfo::exists(path))
                m_com_port_list.push_back(path.toStdString());
        }
    }

    if (m_com_port_list.empty()) updateClientMsg("No Active Ports Found");
}
