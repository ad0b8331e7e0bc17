#pragma once

#include <QString>

// A pseudo-terminal in raw mode: the device side is the master, the host opens the slave by its
// /dev/pts path with a real QSerialPort.
class SimPty {
public:
    SimPty();
    ~SimPty();
    SimPty(const SimPty &) = delete;
    SimPty &operator=(const SimPty &) = delete;

    bool IsOpen() const { return master_fd >= 0; }
    int MasterFd() const { return master_fd; }
    const QString &Path() const { return path; }
    // Closes both sides; the host's open port sees the device vanish.
    void Close();

private:
    int master_fd = -1;
    // Held open so that the master never reads a hang-up while no host has the port open.
    int slave_fd = -1;
    QString path;
};
