#pragma once

#include "firmware_entry.h"
#include "target_status.h"
#include "unit_key.h"

#include <QDateTime>
#include <QList>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QSet>
#include <QString>

#include <cstdint>

class FrameLink;

// Who may use the link now: a job holds it from its start to its end; each short exchange takes
// it for its own few requests.
class LinkGate {
public:
    virtual ~LinkGate() = default;
    // Takes the link for a short exchange; false, and nothing taken, while it is held.
    virtual bool TakeLink() = 0;
    virtual void GiveLink() = 0;
};

// The short exchanges of the window's thread with a unit between jobs: the status poll, the
// launch's hardware, version and mode readings, the display's power for a base left in its
// bootloader, and the operator's manual switch of the base. Each opens a link of its own and
// lets it go before it returns; none runs while the gate is held.
class UnitProbe : public QObject {
    Q_OBJECT

public:
    explicit UnitProbe(LinkGate &gate);

    // The configured targets the status poll looks at; null: nothing to poll.
    void SetFirmwareEntries(const FirmwareEntries *entries) { firmware_entries = entries; }
    const FirmwareEntries *Entries() const { return firmware_entries; }
    // Keeps the status poll to the one port of this unit, as on a station with several bases
    // attached; anything (the default) polls every family port.
    void SetPollUnit(const UnitKey &unit) { poll_unit = unit; }
    // Asks the next status poll for the target's application and hardware versions (in its
    // report's details); a name asked twice before then is asked once. Any thread.
    void RequestDetails(const QString &target);
    QSet<QString> DetailRequests() const;

    // One round of the status poll: reports what it found of every configured target by
    // PushTargetStatus. Nothing while the link is held or without a configuration.
    void Poll();

    // Reads the hardware version text of device d behind the port with product id p (and, when
    // a unit is named, of that unit) and appends it to text (nothing when no answer came); reports
    // it as the status of that device's target.
    void QueryHwVersion(int p, int d, QString &text, const UnitKey &unit = UnitKey());
    // The application version of device d behind the port with product id p (of that unit, when
    // one is named): its mode first, since only a device that runs its application can tell
    // that application's version; up to tries rounds until one answers.
    AppVersionReading ReadAppVersion(int p, int d, const UnitKey &unit, int tries);
    // The mode each of the devices reports, asked up to tries times; Mode::Absent for one that
    // did not answer.
    QMap<int, uint8_t> ReadModes(int p, const QList<int> &devices, const UnitKey &unit, int tries);
    // A unit cut off in the middle of a job can be left with its base in the bootloader, which
    // does not power the display: then the display gets its power now, so that it can be asked
    // for its hardware version. True when it was powered.
    bool PowerDisplayOfBaseInBoot(int p, const UnitKey &unit = UnitKey());
    // Manual switch of the base to its application or its bootloader, when exactly one family
    // device is attached (of that unit, when one is named). False when nothing was sent.
    bool BaseGoApp(const UnitKey &unit = UnitKey());
    bool BaseGoBoot(const UnitKey &unit = UnitKey());

signals:
    // What the status poll found of every configured target, and what the hardware query found
    // of its device.
    void PushTargetStatus(const TargetStatusList &statuses);

private:
    bool SwitchBase(uint8_t to, const QString &line, const UnitKey &unit);
    // Application version and hardware version of device d into status, as the poll reads them.
    void ReadDetails(FrameLink &link, int d, TargetStatus &status);
    // The configured target whose device d sits behind product id p; empty when none.
    QString TargetOf(int d, int p) const;

    LinkGate &gate;
    const FirmwareEntries *firmware_entries = nullptr;  // not owned
    UnitKey poll_unit;  // the status poll's one unit; anything: every family port
    // The targets whose details the window asked for, guarded by info_lock.
    QSet<QString> info_requests;
    mutable QMutex info_lock;
    // When each target's device last answered (UTC).
    QMap<QString, QDateTime> last_heard;
};
