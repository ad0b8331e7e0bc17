#include "sim_flash.h"

QByteArray SimFlash::Read(quint32 address, int length) const
{
    QByteArray out(length, char(0xFF));
    for (int i = 0; i < length; ++i) {
        const quint32 at = address + quint32(i);
        auto page = pages.find(at / kPage);
        if (page != pages.end())
            out[i] = page->second[int(at % kPage)];
    }
    return out;
}

void SimFlash::Write(quint32 address, const QByteArray &bytes)
{
    for (int i = 0; i < bytes.size(); ++i) {
        const quint32 at = address + quint32(i);
        QByteArray &page = pages[at / kPage];
        if (page.isEmpty())
            page = QByteArray(int(kPage), char(0xFF));
        page[int(at % kPage)] = bytes[i];
    }
}

void SimFlash::Erase(quint32 address, int length)
{
    Write(address, QByteArray(length, char(0xFF)));
}
