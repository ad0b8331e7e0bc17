#pragma once

#include "frame.h"
#include "port_catalog.h"
#include "wire.h"

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdint>
#include <optional>

class QSerialPort;

// One upgrader-sim process (the program UPGRADER_SIM names) with a work directory of its own, or
// a shared one; killed if a test leaves it running.
struct SimProcess {
    QTemporaryDir work;
    QProcess process;
    QString work_path;
    QString out;

    explicit SimProcess(const QString &shared_work = {});
    ~SimProcess();

    void Start(const QStringList &arguments);
    // Starts and waits until the ports of its units are published; false when they never were.
    bool StartAndWait(const QStringList &arguments, int ports, int timeout_ms);
    // Everything printed on standard output so far.
    QString Output();
    QString Catalog() const;
    QString Config() const;
    QList<PortInfo> Ports() const;
    // The path of the base at a USB location (sim-UNIT-PRODUCT); empty while it is off USB.
    QString PortAt(const QString &location) const;
    QString Pid() const { return QString::number(process.processId()); }
};

// Sends one request and waits for the first good frame back.
std::optional<Frame> AskDevice(QSerialPort &port, const QByteArray &request, int wait_ms = 2000);

// Whether a device of the simulator holds an image in its flash, by the device's own answers: it
// is taken into its bootloader and reports, section by section, the digest of its flash, which
// must be the image's. Empty when every section matches, else what differed. The device is sent
// back to its application afterwards.
QString FlashMismatch(SimProcess &sim, const QString &location, int device, const QString &image_path);
