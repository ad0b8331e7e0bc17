// A station of the line as the history sees it, for the shared history's tests: writes job
// records through the history library (no devices), kicks its background push after each one as
// the window does, and ends once the line's server holds every record.
//
// history_station DATABASE CONNECTION HOST COUNT GO_FILE
//   Writes COUNT records of host HOST, 20 ms apart; the second half only once GO_FILE exists
//   (the test stops the server in between). Exit 0 when nothing waits any more; 1 on a local
//   failure or when the records still wait after 120 s.
#include "history_store.h"
#include "history_sync.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 6) {
        std::fprintf(stderr, "usage: history_station DATABASE CONNECTION HOST COUNT GO_FILE\n");
        return 2;
    }
    const QString database = args[1];
    const QString host = args[3];
    const int count = args[4].toInt();
    const QString go_file = args[5];

    // Quick retries: the test's outage lasts seconds, not a night.
    HistorySync::Pacing pacing;
    pacing.first_retry_ms = 100;
    pacing.longest_retry_ms = 500;
    pacing.batch = 7;  // several statements per push, so a push can be cut between two
    HistorySync sync(database, args[2], pacing);

    int written = 0;
    bool all_sent = false;
    QObject::connect(&sync, &HistorySync::Pushed, &app, [&](qint64, qint64 waiting, const QString &warning, bool news) {
        if (news && !warning.isEmpty())
            std::fprintf(stderr, "%s: %s\n", qPrintable(host), qPrintable(warning));
        all_sent = written == count && waiting == 0 && warning.isEmpty();
        if (all_sent)
            app.exit(0);
    });

    QTimer writer;
    writer.setInterval(20);
    QObject::connect(&writer, &QTimer::timeout, &app, [&] {
        if (written == count / 2 && !QFileInfo::exists(go_file))
            return;  // the first half is out; the second waits for the test's word
        UpgradeRecord record;
        record.started_at = QDateTime::currentDateTimeUtc();
        record.duration_ms = 1000 + written;
        record.front_end = QLatin1String(UpgradeRecord::kWindow);
        record.target = written % 2 ? QStringLiteral("Meter") : QStringLiteral("Pedals");
        record.unit_serial = QStringLiteral("SN-%1-%2").arg(host).arg(written);
        record.success = written % 5 != 0;
        record.user = QStringLiteral("operator");
        record.host = host;
        const QString warning = HistoryStore::Append(database, record);
        if (!warning.isEmpty()) {
            std::fprintf(stderr, "%s: %s\n", qPrintable(host), qPrintable(warning));
            app.exit(1);
            return;
        }
        ++written;
        if (written == count)
            writer.stop();
        sync.Kick();
    });
    writer.start();

    QTimer::singleShot(120000, &app, [&] {
        std::fprintf(stderr, "%s: records still wait after 120 s\n", qPrintable(host));
        app.exit(1);
    });
    sync.Kick();  // what an earlier run left, as a window does at its start
    return app.exec();
}
