#include "usb_cdc_driver.h"

#include "link_log.h"
#include "port_catalog.h"


namespace {
constexpr qint32 kBaudRate = 12000000;  // the CDC device ignores it; set for drivers that care
constexpr int kSendWaitMs = 1;
}  // namespace

UsbCdcDriver::UsbCdcDriver(int pid, const QDateTime *start_time, const QString &wanted, PortCatalog::View view)
    : product_id(pid), start_time_ref(start_time)
{
    const QString chosen = FamilyPort(product_id, wanted, view).name;
    if (!IsUsablePortName(chosen))
        return;
    catalog_name = chosen;

    port.setPortName(chosen);
    port.clearError();
    port.setBaudRate(kBaudRate, QSerialPort::AllDirections);
    if (!port.open(QIODevice::ReadWrite)) {
        qCDebug(lcLink).noquote() << QString::fromUtf8("---端口被占用");
        // A port held by another program and one the user may not open are different problems.
        qCDebug(lcLink).noquote() << QStringLiteral("---%1: %2").arg(chosen, port.errorString());
        return;
    }
    // Whatever waits in the port now came before this use of it (a late answer to the last
    // program that asked, say) and answers nothing of ours.
    port.clear(QSerialPort::Input);
    connect(&port, &QSerialPort::readyRead, this, &UsbCdcDriver::Receive);
    connect(&port, &QSerialPort::errorOccurred, this, &UsbCdcDriver::OnPortError);
    connected = true;
    rx_total = 0;
}

UsbCdcDriver::~UsbCdcDriver()
{
    connected = false;
    if (port.isOpen())
        port.close();
}

void UsbCdcDriver::Receive()
{
    const QByteArray bytes = port.readAll();
    rx_total += bytes.size();
    for (char b : bytes)
        rx_bytes.append(b);
    if (!trace_rx)
        return;
    const double seconds = start_time_ref->msecsTo(QDateTime::currentDateTime()) / 1000.0;
    QString line = QString::asprintf("---%.3f recv %-6d: ", seconds, rx_total);
    for (char b : bytes)
        line += QString::asprintf("%02X ", static_cast<unsigned char>(b));
    qCDebug(lcLink).noquote() << line;
}

void UsbCdcDriver::OnPortError(QSerialPort::SerialPortError error)
{
    if (error == QSerialPort::ResourceError || error == QSerialPort::ReadError)
        connected = false;
}

void UsbCdcDriver::Send(QByteArray bytes)
{
    if (!connected)
        return;
    port.write(bytes);
    port.waitForBytesWritten(kSendWaitMs);
}

void UsbCdcDriver::Disconnect()
{
    connected = false;
    if (port.isOpen())
        port.clear(QSerialPort::AllDirections);
    rx_bytes.clear();
}
