#include "sim_process.h"

#include "firmware_image.h"
#include "frame_codec.h"
#include "port_catalog_file.h"
#include "sim_protocol.h"
#include "wait_until.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSerialPort>

#include <vector>

namespace {

constexpr int kExitMs = 10000;
constexpr int kRestartMs = 10000;  // a device's or a base's restart, on a loaded machine
constexpr uint8_t kVerifyFlash = 2;
constexpr uint8_t kVerified = 2;

QByteArray Big(quint32 value, int bytes)
{
    QByteArray out;
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8)
        out.append(char(value >> shift));
    return out;
}

}  // namespace

SimProcess::SimProcess(const QString &shared_work) : work_path(shared_work.isEmpty() ? work.path() : shared_work)
{
    process.setProgram(qEnvironmentVariable("UPGRADER_SIM"));
}

SimProcess::~SimProcess()
{
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(kExitMs);
    }
}

void SimProcess::Start(const QStringList &arguments)
{
    process.setArguments(QStringList{"--work", work_path} + arguments);
    process.start();
}

bool SimProcess::StartAndWait(const QStringList &arguments, int ports, int timeout_ms)
{
    Start(arguments);
    return WaitUntil([&] { return Ports().size() == ports; }, timeout_ms);
}

QString SimProcess::Output()
{
    out += QString::fromLocal8Bit(process.readAllStandardOutput());
    return out;
}

QString SimProcess::Catalog() const
{
    return QDir(work_path).filePath("ports.json");
}

QString SimProcess::Config() const
{
    return QDir(work_path).filePath("config.json");
}

QList<PortInfo> SimProcess::Ports() const
{
    return PortCatalogFile::Read(Catalog());
}

QString SimProcess::PortAt(const QString &location) const
{
    for (const PortInfo &port : Ports()) {
        if (port.location == location)
            return port.name;
    }
    return {};
}

std::optional<Frame> AskDevice(QSerialPort &port, const QByteArray &request, int wait_ms)
{
    port.write(request);
    port.waitForBytesWritten(wait_ms);
    FrameParser parser;
    FrameCodec::ResetDecoder(parser);
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < wait_ms) {
        if (!port.waitForReadyRead(int(std::max<qint64>(1, wait_ms - clock.elapsed()))))
            continue;
        for (char c : port.readAll()) {
            if (FrameCodec::Decode(parser, uint8_t(c)) == FrameCodec::FrameOk)
                return parser.frame;
        }
    }
    return std::nullopt;
}

QString FlashMismatch(SimProcess &sim, const QString &location, int device, const QString &image_path)
{
    using namespace SimProtocol;
    QFile file(image_path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read %1").arg(image_path);
    const QByteArray bytes = file.readAll();
    ImageHeader header;
    std::vector<FirmwareSection> sections;
    QString reason;
    if (FirmwareImage::ReadHeader(bytes, header, reason) != FirmwareImage::Verdict::Ok ||
        FirmwareImage::ReadSections(bytes, header, uint8_t(device), sections, reason) != FirmwareImage::Verdict::Ok)
        return reason;

    // A base that has just been upgraded may still be on its way back to USB.
    QString before;
    if (!WaitUntil([&] { return !(before = sim.PortAt(location)).isEmpty(); }, kRestartMs))
        return QStringLiteral("no base at %1").arg(location);
    // Into the bootloader: the base leaves USB and comes back under a new path, a device behind
    // it restarts in place.
    {
        QSerialPort port(before);
        if (!port.open(QIODevice::ReadWrite))
            return QStringLiteral("cannot open %1: %2").arg(before, port.errorString());
        port.write(DeviceRequest(SwitchMode, device, QByteArray(1, char(kSwitchToBoot))));
        port.waitForBytesWritten(kRestartMs);
    }
    QString path = before;
    if (device == kBaseId &&
        !WaitUntil([&] { return !(path = sim.PortAt(location)).isEmpty() && path != before; }, kRestartMs))
        return QStringLiteral("the base did not come back on USB");
    QSerialPort port(path);
    if (!port.open(QIODevice::ReadWrite))
        return QStringLiteral("cannot open %1: %2").arg(path, port.errorString());
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const std::optional<Frame> mode = AskDevice(port, DeviceRequest(QueryMode, device, QByteArray(1, 0)), 200);
        if (mode && mode->payload[0] == kModeBoot)
            break;
        if (clock.elapsed() > kRestartMs)
            return QStringLiteral("device %1 did not start its bootloader").arg(device);
    }

    QStringList differing;
    for (size_t i = 0; i < sections.size(); ++i) {
        const FirmwareSection &section = sections[i];
        if (section.length == 0)
            continue;
        QByteArray announce = Big(section.address, 4) + Big(section.length, 2);
        if (device != kMotorId)
            announce += Big(quint32(section.data.size()), 2);
        const std::optional<Frame> echo = AskDevice(port, DeviceRequest(SectionHeader, device, announce));
        const std::optional<Frame> verified =
            echo ? AskDevice(port, DeviceRequest(Verify, device, QByteArray(1, char(kVerifyFlash)))) : std::nullopt;
        const std::optional<Frame> digest =
            verified ? AskDevice(port, DeviceRequest(ReadDigest, device, QByteArray(16, 0))) : std::nullopt;
        if (!digest || verified->payload[0] != kVerified)
            return QStringLiteral("device %1 did not report the flash digest of section %2").arg(device).arg(i + 1);
        if (QByteArray(reinterpret_cast<const char *>(digest->payload), digest->length) != section.digest)
            differing << QStringLiteral("0x%1").arg(section.address, 8, 16, QLatin1Char('0'));
    }
    port.write(DeviceRequest(SwitchMode, device, QByteArray(1, char(kSwitchToApp))));
    port.waitForBytesWritten(kRestartMs);
    if (differing.isEmpty())
        return {};
    return QStringLiteral("%1 of %2 sections differ in flash: %3")
        .arg(differing.size())
        .arg(sections.size())
        .arg(differing.join(QLatin1Char(' ')));
}
