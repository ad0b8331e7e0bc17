#include "usb_cdc_driver.h"

#include "channel_opener.h"
#include "port_catalog.h"

namespace {
constexpr qint32 kBaudRate = 12000000;  // the CDC device ignores it; set for drivers that care
constexpr int kSendWaitMs = 1;
}  // namespace

std::unique_ptr<ByteChannel> OpenFamilyChannel(int pid, const UnitKey &unit, PortCatalog::View view)
{
    // A port that is no serial device (a family simulated in this process) has an opener of its
    // own; without one installed, as in the shipped programs, the driver looks the port up alone.
    if (std::unique_ptr<ByteChannel> other = OpenWithChannelOpener([&] { return FamilyPort(pid, unit, view); }))
        return other;
    return std::make_unique<UsbCdcDriver>(pid, unit, view);
}

UsbCdcDriver::UsbCdcDriver(int product_id, const UnitKey &wanted, PortCatalog::View view)
{
    const QString chosen = FamilyPort(product_id, wanted, view).name;
    if (!IsUsablePortName(chosen))
        return;
    catalog_name = chosen;

    port.setPortName(chosen);
    port.clearError();
    port.setBaudRate(kBaudRate, QSerialPort::AllDirections);
    if (!port.open(QIODevice::ReadWrite)) {
        LogPortNotOpened(chosen, port.errorString());
        return;
    }
    // Whatever waits in the port now came before this use of it (a late answer to the last
    // program that asked, say) and answers nothing of ours.
    port.clear(QSerialPort::Input);
    connect(&port, &QSerialPort::readyRead, this, &UsbCdcDriver::Receive);
    connect(&port, &QSerialPort::errorOccurred, this, &UsbCdcDriver::OnPortError);
    connected = true;
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
    rx_bytes += bytes;
}

void UsbCdcDriver::OnPortError(QSerialPort::SerialPortError error)
{
    if (error == QSerialPort::ResourceError || error == QSerialPort::ReadError)
        connected = false;
}

void UsbCdcDriver::Send(const QByteArray &bytes)
{
    if (!connected)
        return;
    port.write(bytes);
    port.waitForBytesWritten(kSendWaitMs);
}

void UsbCdcDriver::TakeInput()
{
    // Also completes a write the port had to hold back.
    port.waitForReadyRead(0);
}

bool UsbCdcDriver::WaitForInput(int ms)
{
    return port.waitForReadyRead(ms);
}

QByteArray UsbCdcDriver::TakeReceived()
{
    QByteArray taken;
    taken.swap(rx_bytes);
    return taken;
}

qintptr UsbCdcDriver::WaitHandle() const
{
#if defined(Q_OS_UNIX)
    return port.isOpen() ? port.handle() : -1;
#else
    return -1;  // the wait looks at the port every few milliseconds instead
#endif
}

void UsbCdcDriver::Disconnect()
{
    connected = false;
    if (port.isOpen())
        port.clear(QSerialPort::AllDirections);
    rx_bytes.clear();
}
