#pragma once

#include "target_status.h"

#include <QMap>
#include <QString>

// Reports as the status poll emits them, for tests that drive the window without a device.

// Every named target with its mode (Mode::Absent, Boot or App), in name order; an answering
// target is attached on one port, an absent one on none.
inline TargetStatusList PollReport(const QMap<QString, int> &modes)
{
    TargetStatusList statuses;
    for (auto it = modes.cbegin(); it != modes.cend(); ++it) {
        TargetStatus status;
        status.name = it.key();
        status.mode_asked = true;
        status.mode = uint8_t(it.value());
        status.ports = status.Answering() ? 1 : 0;
        statuses.append(status);
    }
    return statuses;
}

// A target in its application whose details the poll read: the version (in the order shown)
// and the hardware text, either of which may be missing.
inline TargetStatus Detailed(const QString &name, std::optional<AppVersion> version, std::optional<QString> hw)
{
    TargetStatus status = PollReport({{name, Mode::App}}).first();
    status.details_asked = true;
    status.app_version = version;
    status.hw_text = hw;
    return status;
}
