#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// A directory of real files, made the current directory for as long as it lives (the window
// looks for its configuration there, and relative firmware paths start there).
struct TestWorkspace {
    QTemporaryDir dir;
    QString previous;

    explicit TestWorkspace(const QByteArray &config = {});
    ~TestWorkspace();

    QString Path(const QString &name) const;
    // Writes a file below the directory, creating its folders.
    void Write(const QString &name, const QByteArray &bytes, bool executable = false) const;
};
