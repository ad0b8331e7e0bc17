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

QByteArray SimFlash::After(const QByteArray &marker, int length) const
{
    // Contiguous runs of pages, searched one run at a time.
    QByteArray run;
    quint32 next = 0;
    auto search = [&]() -> QByteArray {
        const int at = run.indexOf(marker);
        if (at < 0 || at + marker.size() + length > run.size())
            return {};
        return run.mid(at + marker.size(), length);
    };
    for (const auto &page : pages) {
        if (!run.isEmpty() && page.first != next) {
            const QByteArray found = search();
            if (!found.isEmpty())
                return found;
            run.clear();
        }
        run.append(page.second);
        next = page.first + 1;
    }
    return search();
}

void SimFlash::Erase(quint32 address, int length)
{
    Write(address, QByteArray(length, char(0xFF)));
}
