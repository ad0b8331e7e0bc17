#pragma once

#include <QByteArray>

#include <map>

// A device's flash memory: sparse 4 KiB pages, erased bytes read 0xFF.
class SimFlash {
public:
    QByteArray Read(quint32 address, int length) const;
    void Write(quint32 address, const QByteArray &bytes);
    void Erase(quint32 address, int length);
    // The bytes that follow the first occurrence of marker in the programmed memory, in address
    // order (a record may cross a page boundary); empty when it occurs nowhere.
    QByteArray After(const QByteArray &marker, int length) const;

private:
    static constexpr quint32 kPage = 4096;
    std::map<quint32, QByteArray> pages;  // page number -> kPage bytes
};
