#pragma once

#include "byte_channel.h"
#include "unit_key.h"

#include <QObject>
#include <QSerialPort>

// The family's USB CDC virtual serial port, found by vendor and product id and opened at
// construction: the byte channel of the shipped programs. Received bytes arrive in Receive()
// from the owning thread's event loop or from inside port.waitForReadyRead().
class UsbCdcDriver : public QObject, public ByteChannel {
    Q_OBJECT

public:
    // With a unit named, only its port is opened; otherwise the last family port with the
    // product id.
    explicit UsbCdcDriver(int product_id, const UnitKey &unit = UnitKey(),
                          PortCatalog::View view = PortCatalog::View::Fresh);
    ~UsbCdcDriver() override;

    bool IsConnected() const override { return connected; }
    QString CatalogName() const override { return catalog_name; }
    void Send(const QByteArray &bytes) override;
    bool WritePending() const override { return port.bytesToWrite() > 0; }
    void TakeInput() override;
    bool WaitForInput(int ms) override;
    QByteArray TakeReceived() override;
    bool HasReceived() const override { return !rx_bytes.isEmpty(); }
    void DropReceived() override { rx_bytes.clear(); }
    qintptr WaitHandle() const override;
    void Disconnect() override;

    // The port stays open after Disconnect() until the driver is destroyed.
    bool PortOpen() const { return port.isOpen(); }
    // Bytes received since the open.
    int ReceivedTotal() const { return rx_total; }

private slots:
    void Receive();

private:
    // A failed read means the device has left the bus (unplugged, or restarted off USB).
    void OnPortError(QSerialPort::SerialPortError error);

    QSerialPort port;
    QByteArray rx_bytes;  // received, not yet taken, oldest first
    int rx_total = 0;
    bool connected = false;
    QString catalog_name;
};
