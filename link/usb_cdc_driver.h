#pragma once

#include "port_catalog.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QSerialPort>

// The family's USB CDC virtual serial port, found by vendor and product id and opened at
// construction. Lives for one use of the link and belongs to the thread that constructs it:
// received bytes arrive in Receive() from that thread's event loop or from inside
// port.waitForReadyRead().
class UsbCdcDriver : public QObject {
    Q_OBJECT

public:
    // start_time_ref is the owner's job start time, the reference of trace timestamps; it must
    // outlive the driver. With a port given (a USB location or a port name), only that port is
    // opened; otherwise the last family port with the product id. The port is looked up in a
    // fresh view of the catalog unless the caller only watches (the status poll).
    UsbCdcDriver(int product_id, const QDateTime *start_time_ref, const QString &port = QString(),
                 PortCatalog::View view = PortCatalog::View::Fresh);
    ~UsbCdcDriver() override;

    // Writes all bytes and waits up to 1 ms for them to leave; drops them when not connected.
    void Send(QByteArray bytes);
    // Stops all traffic: discards the port's buffers and the received bytes. The port itself
    // stays open until the driver is destroyed.
    void Disconnect();
    // False before a successful open, after Disconnect, and once the port reports the device gone.
    bool IsConnected() const { return connected; }
    // The port's name as the catalog lists it (QSerialPort may shorten a path); empty when no
    // port was found.
    const QString &CatalogName() const { return catalog_name; }

    QSerialPort port;
    QList<char> rx_bytes;  // received, not yet taken by the engine, oldest first
    bool trace_rx = false;
    int rx_total = 0;
    int product_id = 0;

public slots:
    void Receive();

private:
    // A failed read means the device has left the bus (unplugged, or restarted off USB).
    void OnPortError(QSerialPort::SerialPortError error);

    bool connected = false;
    QString catalog_name;
    const QDateTime *start_time_ref = nullptr;
};
