// The upgrade history's file: what an append leaves, which records a query picks, where the file
// lives, what a broken file costs, many writers at once, and the three forms it is read in.
#include "csv_reader.h"
#include "history_format.h"
#include "history_store.h"
#include "sample_records.h"
#include "unprivileged.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include <sys/resource.h>

namespace {

constexpr int kWriters = 8;
constexpr int kRecordsEach = 50;
constexpr int kProcessesMs = 120000;

QDateTime Utc(int day, int hour, int minute = 0)
{
    return QDateTime(QDate(2024, 5, day), QTime(hour, minute), Qt::UTC);
}

// A failed record of the operator's stop, with every field filled.
UpgradeRecord Sample(const QString &target = QStringLiteral("Motor"), const QDateTime &at = Utc(1, 8))
{
    UpgradeRecord r = SampleRecord(target, at.addMSecs(123), QStringLiteral("Second verify failed\nTarget go app failed"));
    r.duration_ms = 41872;
    r.stopped_by = QLatin1String(UpgradeRecord::kOperator);
    return r;
}

// The record as its columns hold it.
QStringList Values(const UpgradeRecord &record)
{
    QStringList values;
    for (const RecordColumn &column : RecordColumns())
        values << column.get(record).toString();
    return values;
}

QStringList ColumnNames()
{
    QStringList names;
    for (const RecordColumn &column : RecordColumns())
        names << QLatin1String(column.name);
    return names;
}

QByteArray FileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QList<UpgradeRecord> ReadAll(const QString &database, QString *warning = nullptr)
{
    QString ignored;
    return HistoryStore::Read(database, {}, warning ? warning : &ignored);
}

// Child process: writes `count` records as `writer` once the parent says go on standard input.
int WriteRecords(const QString &database, const QString &writer, int count)
{
    std::cout << "ready" << std::endl;
    std::string go;
    std::getline(std::cin, go);
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        UpgradeRecord record = Sample();
        record.usb_location = writer;
        record.error_text = QString::number(i);
        const QString warning = HistoryStore::Append(database, record);
        if (!warning.isEmpty()) {
            std::cout << qPrintable(warning) << std::endl;
            ++failures;
        }
    }
    return failures == 0 ? 0 : 1;
}

// Child process: one append of a large record while no file may grow beyond `limit` bytes, as on
// a disk that is full. Prints the warning.
int AppendLimited(const QString &database, qint64 limit)
{
    std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails with EFBIG instead
    const rlimit size{rlim_t(limit), rlim_t(limit)};
    if (setrlimit(RLIMIT_FSIZE, &size) != 0)
        return 2;
    UpgradeRecord record = Sample();
    record.error_text = QString(int(limit), QLatin1Char('x'));
    std::cout << qPrintable(HistoryStore::Append(database, record)) << std::endl;
    return 0;
}

int OpenFiles()
{
    return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size();
}

}  // namespace

class TestHistory : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString database;

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void init()
    {
        QVERIFY(dir.isValid());
        database = QDir(dir.path()).filePath(QString::fromLatin1(QTest::currentTestFunction()) + "-" +
                                             QString::fromUtf8(QTest::currentDataTag()).replace(' ', '-') + ".sqlite");
    }

    // One append: the record comes back field for field, numbered; the file is in WAL mode and
    // carries the schema version.
    void appendKeepsEveryField()
    {
        const UpgradeRecord written = Sample();
        QCOMPARE(HistoryStore::Append(database, written), QString());
        QCOMPARE(HistoryStore::Append(database, Sample(QStringLiteral("Meter"))), QString());

        QString warning;
        const QList<UpgradeRecord> records = ReadAll(database, &warning);
        QCOMPARE(warning, QString());
        QCOMPARE(records.size(), 2);
        UpgradeRecord expected = written;
        expected.id = 1;
        QCOMPARE(Values(records[0]), Values(expected));
        QCOMPARE(records[0].started_at, written.started_at);
        QCOMPARE(records[1].id, qint64(2));

        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "inspect");
            db.setDatabaseName(database);
            QVERIFY(db.open());
            QSqlQuery query(db);
            QVERIFY(query.exec("PRAGMA user_version") && query.next());
            QCOMPARE(query.value(0).toInt(), HistoryStore::kSchemaVersion);
            QVERIFY(query.exec("PRAGMA journal_mode") && query.next());
            QCOMPARE(query.value(0).toString(), QString("wal"));
        }
        QSqlDatabase::removeDatabase("inspect");
    }

    // `history --target T --since DATE`: records in start order.
    void filters_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("since");
        QTest::addColumn<QList<int>>("ids");
        // Written out of order: 1 Motor 2 May, 2 Meter 1 May, 3 Motor 3 May, 4 Motor 1 May.
        QTest::newRow("everything, oldest first") << "" << "" << QList<int>{2, 4, 1, 3};
        QTest::newRow("one target") << "Motor" << "" << QList<int>{4, 1, 3};
        QTest::newRow("target names are exact") << "motor" << "" << QList<int>{};
        QTest::newRow("since a date") << "" << "2024-05-02" << QList<int>{1, 3};
        QTest::newRow("since a UTC time") << "" << "2024-05-02T12:00:00.123Z" << QList<int>{1, 3};
        QTest::newRow("a millisecond later") << "" << "2024-05-02T12:00:00.124Z" << QList<int>{3};
        QTest::newRow("since a time with an offset") << "" << "2024-05-02T14:00:01+02:00" << QList<int>{3};
        QTest::newRow("target and date") << "Meter" << "2024-05-02" << QList<int>{};
    }

    void filters()
    {
        QFETCH(QString, target);
        QFETCH(QString, since);
        QFETCH(QList<int>, ids);
        for (const auto &[name, day] : {std::pair<const char *, int>{"Motor", 2}, {"Meter", 1}, {"Motor", 3}, {"Motor", 1}})
            QCOMPARE(HistoryStore::Append(database, Sample(QLatin1String(name), Utc(day, 12))), QString());

        HistoryStore::Filter filter;
        filter.target = target;
        if (!since.isEmpty())
            QVERIFY(HistoryStore::ParseSince(since, filter.since));
        QString warning;
        QList<int> found;
        for (const UpgradeRecord &record : HistoryStore::Read(database, filter, &warning))
            found << int(record.id);
        QCOMPARE(warning, QString());
        QCOMPARE(found, ids);
    }

    void parseSince_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QDateTime>("since");
        const QDateTime utc = Utc(1, 8, 30);
        QTest::newRow("date: local midnight") << "2024-05-01" << true
                                              << QDateTime(QDate(2024, 5, 1), QTime(0, 0), Qt::LocalTime);
        QTest::newRow("UTC") << "2024-05-01T08:30:00Z" << true << utc;
        QTest::newRow("offset") << "2024-05-01T10:30:00+02:00" << true << utc;
        QTest::newRow("no offset: local") << "2024-05-01T08:30" << true
                                          << QDateTime(QDate(2024, 5, 1), QTime(8, 30), Qt::LocalTime);
        QTest::newRow("blanks around") << " 2024-05-01T08:30:00Z " << true << utc;
        QTest::newRow("a word") << "yesterday" << false << QDateTime();
        QTest::newRow("month 13") << "2024-13-01" << false << QDateTime();
        QTest::newRow("day first") << "01.05.2024" << false << QDateTime();
        QTest::newRow("empty") << "" << false << QDateTime();
    }

    void parseSince()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(QDateTime, since);
        QDateTime parsed;
        QCOMPARE(HistoryStore::ParseSince(text, parsed), valid);
        if (valid)
            QCOMPARE(parsed.toUTC(), since.toUTC());
    }

    // Next to the configuration, unless that folder may not be written; the window and the
    // command share the fallback whatever their program names.
    void location_data()
    {
        QTest::addColumn<bool>("config_folder_writable");
        QTest::addColumn<bool>("has_config");
        QTest::newRow("writable configuration folder") << true << true;
        QTest::newRow("read-only configuration folder") << false << true;
        QTest::newRow("no configuration") << true << false;
    }

    void location()
    {
        QFETCH(bool, config_folder_writable);
        QFETCH(bool, has_config);
        if (!config_folder_writable)
            RUN_AS_NOBODY_WHEN_ROOT();
        QTemporaryDir installed;
        const QString config = QDir(installed.path()).filePath("config.json");
        QFile(config).open(QIODevice::WriteOnly);
        if (!config_folder_writable)
            QFile::setPermissions(installed.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner);

        const QString location = HistoryStore::Location(has_config ? config : QString());
        const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
        const QString expected = config_folder_writable && has_config
                                     ? QDir(installed.path()).filePath("upgrade-history.sqlite")
                                     : QDir(data).filePath("upgrader/upgrade-history.sqlite");
        QCOMPARE(location, expected);

        // What one program writes there, another reads from the same place.
        QCOMPARE(HistoryStore::Append(location, Sample()), QString());
        QCOMPARE(ReadAll(HistoryStore::Location(has_config ? config : QString())).size(), 1);
        QFile::setPermissions(installed.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        if (!has_config || !config_folder_writable)
            QFile::remove(location);
    }

    // A history that cannot take the record: a warning naming the file and the reason, the file
    // left as it was, and nothing half-written once it can be written again.
    void failures_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");
        QTest::newRow("corrupt file") << "corrupt" << "file is not a database";
        QTest::newRow("locked by another writer") << "locked" << "database is locked";
        QTest::newRow("read-only file") << "read-only" << "attempt to write a readonly database";
        QTest::newRow("a folder in its place") << "folder" << "unable to open database file";
        QTest::newRow("written by a newer release") << "newer" << "written by a newer release (schema 7";
    }

    void failures()
    {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        if (kind == "read-only")
            RUN_AS_NOBODY_WHEN_ROOT();

        int records_before = 0;
        std::unique_ptr<QSqlDatabase> holder;
        if (kind == "corrupt") {
            QFile file(database);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QByteArray(8192, '\x5a'));
        } else if (kind == "folder") {
            QVERIFY(QDir().mkpath(database));
        } else {
            QCOMPARE(HistoryStore::Append(database, Sample()), QString());
            records_before = 1;
        }
        if (kind == "read-only")
            QVERIFY(QFile::setPermissions(database, QFileDevice::ReadOwner | QFileDevice::ReadOther));
        if (kind == "newer" || kind == "locked") {
            holder = std::make_unique<QSqlDatabase>(QSqlDatabase::addDatabase("QSQLITE", "other writer"));
            holder->setDatabaseName(database);
            QVERIFY(holder->open());
            QSqlQuery query(*holder);
            QVERIFY(query.exec(kind == "newer" ? "PRAGMA user_version = 7" : "BEGIN IMMEDIATE"));
        }
        const QByteArray bytes = FileBytes(database);

        const QString warning = HistoryStore::Append(database, Sample(), 100);
        QVERIFY2(warning.startsWith("Upgrade history not written to " + database + ": "), qPrintable(warning));
        QVERIFY2(warning.contains(reason), qPrintable(warning));
        QCOMPARE(FileBytes(database), bytes);

        if (holder) {
            holder->exec(kind == "newer" ? "PRAGMA user_version = 1" : "ROLLBACK");
            holder->close();
            holder.reset();
            QSqlDatabase::removeDatabase("other writer");
        }
        if (kind == "read-only" || kind == "locked" || kind == "newer") {
            // The refused record left no trace, and the file still reads.
            QCOMPARE(ReadAll(database).size(), records_before);
        }
        if (kind == "read-only")
            QFile::setPermissions(database, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        if (kind == "locked" || kind == "newer") {
            QCOMPARE(HistoryStore::Append(database, Sample()), QString());
            QCOMPARE(ReadAll(database).size(), records_before + 1);
        }
    }

    // A disk that fills up in the middle of a write: a warning, and the records already there stay.
    void fullDisk()
    {
        QCOMPARE(HistoryStore::Append(database, Sample()), QString());
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(),
                    {"--append-limited", database, QString::number(256 * 1024)});
        QVERIFY(child.waitForFinished(kProcessesMs));
        QCOMPARE(child.exitCode(), 0);
        const QString warning = QString::fromUtf8(child.readAllStandardOutput()).trimmed();
        // A file size limit fails the write with EFBIG, which SQLite names an I/O error; a full
        // disk (ENOSPC) reads "database or disk is full". Either way: a warning with the reason.
        QVERIFY2(warning.contains(QRegularExpression("^Upgrade history not written to " +
                                                     QRegularExpression::escape(database) +
                                                     ": (disk I/O error|database or disk is full)")),
                 qPrintable(warning));

        QString read_warning;
        QCOMPARE(ReadAll(database, &read_warning).size(), 1);
        QCOMPARE(read_warning, QString());
        QCOMPARE(HistoryStore::Append(database, Sample()), QString());
        QCOMPARE(ReadAll(database).size(), 2);
    }

    // The window and command processes of a station write at once: eight processes, fifty records
    // each, all let go together on one new file. Every record arrives, once.
    void eightProcessesAtOnce()
    {
        std::vector<std::unique_ptr<QProcess>> writers;
        for (int w = 0; w < kWriters; ++w) {
            auto child = std::make_unique<QProcess>();
            child->setProcessChannelMode(QProcess::MergedChannels);
            child->start(QCoreApplication::applicationFilePath(),
                         {"--write-records", database, QStringLiteral("writer-%1").arg(w), QString::number(kRecordsEach)});
            QVERIFY(child->waitForStarted());
            writers.push_back(std::move(child));
        }
        for (auto &child : writers) {
            while (!child->canReadLine())
                QVERIFY2(child->waitForReadyRead(kProcessesMs), "a writer never got ready");
            QCOMPARE(child->readLine().trimmed(), QByteArray("ready"));
        }
        // QProcess sends only from an event loop or a wait: each go must be out before any
        // writer is waited for, or the writers would run one after another.
        for (auto &child : writers)
            child->write("go\n");
        for (auto &child : writers)
            QVERIFY(child->waitForBytesWritten(kProcessesMs));
        for (auto &child : writers) {
            QVERIFY(child->waitForFinished(kProcessesMs));
            const QByteArray output = child->readAll();
            QVERIFY2(child->exitStatus() == QProcess::NormalExit && child->exitCode() == 0, output.constData());
        }

        QString warning;
        const QList<UpgradeRecord> records = ReadAll(database, &warning);
        QCOMPARE(warning, QString());
        QCOMPARE(records.size(), kWriters * kRecordsEach);
        QSet<QString> seen;
        for (const UpgradeRecord &record : records)
            seen.insert(record.usb_location + "/" + record.error_text);
        QCOMPARE(seen.size(), kWriters * kRecordsEach);
    }

    // A process open for a whole shift: every use gives its connection and file back, also the
    // failed ones.
    void nothingHeldBetweenUses()
    {
        QCOMPARE(HistoryStore::Append(database, Sample()), QString());  // the driver is loaded now
        const int files = OpenFiles();
        const QString corrupt = database + ".corrupt";
        QFile file(corrupt);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(4096, '\x01'));
        file.close();
        for (int i = 0; i < 20; ++i) {
            QCOMPARE(HistoryStore::Append(database, Sample()), QString());
            QCOMPARE(ReadAll(database).size(), i + 2);
            QVERIFY(!HistoryStore::Append(corrupt, Sample()).isEmpty());
            QString warning;
            ReadAll(corrupt, &warning);
            QVERIFY(!warning.isEmpty());
        }
        QCOMPARE(QSqlDatabase::connectionNames(), QStringList());
        QCOMPARE(OpenFiles(), files);
    }

    // `history --csv` read back by a strict RFC 4180 reader: every field as it was written.
    void csvRoundTrip_data()
    {
        QTest::addColumn<QString>("error_text");
        QTest::newRow("commas") << "Section 0x08004000 holds 10 bytes, the device needs 12, retry";
        QTest::newRow("quotes") << "Firmware of \"Motor A\" doesn't exist!";
        QTest::newRow("line feeds") << "Second verify failed\nTarget go app failed\n";
        QTest::newRow("CR LF and a lone CR") << "first\r\nsecond\rthird";
        QTest::newRow("everything at once") << QString::fromUtf8("\"引号\", comma\n\"\"double\"\"\r\n,");
        QTest::newRow("only a quote") << "\"";
        QTest::newRow("blanks kept") << "  padded  ";
        QTest::newRow("empty") << "";
    }

    void csvRoundTrip()
    {
        QFETCH(QString, error_text);
        UpgradeRecord tricky = Sample();
        tricky.error_text = error_text;
        QCOMPARE(HistoryStore::Append(database, Sample(QStringLiteral("Base"))), QString());
        QCOMPARE(HistoryStore::Append(database, tricky), QString());
        const QList<UpgradeRecord> records = ReadAll(database);
        QCOMPARE(records.size(), 2);
        QCOMPARE(records[1].error_text, error_text);

        QString error;
        const QList<QStringList> rows = ReadCsv(HistoryFormat::Csv(records), &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(rows.size(), 3);
        QCOMPARE(rows[0], ColumnNames());
        QCOMPARE(rows[1], Values(records[0]));
        QCOMPARE(rows[2], Values(records[1]));
        QCOMPARE(rows[2][ColumnNames().indexOf("error_text")], error_text);
    }

    // JSON lines: one object per line, every column under its name, numbers as numbers.
    void jsonLines()
    {
        UpgradeRecord tricky = Sample();
        tricky.error_text = QString::fromUtf8("line one\n\"two\", 中文\r\n");
        const QList<UpgradeRecord> records{Sample(), tricky};
        const QString text = HistoryFormat::JsonLines(records);
        QVERIFY(text.endsWith('\n'));
        const QStringList lines = text.chopped(1).split('\n');
        QCOMPARE(lines.size(), records.size());
        for (int i = 0; i < lines.size(); ++i) {
            QJsonParseError error;
            const QJsonDocument document = QJsonDocument::fromJson(lines[i].toUtf8(), &error);
            QVERIFY2(document.isObject(), qPrintable(error.errorString()));
            const QJsonObject object = document.object();
            QCOMPARE(object.keys().size(), int(RecordColumns().size()));
            for (const RecordColumn &column : RecordColumns()) {
                const QJsonValue value = object.value(QLatin1String(column.name));
                QCOMPARE(value.isDouble(), column.is_number);
                QCOMPARE(value.toVariant().toString(), column.get(records[i]).toString());
            }
        }
        QVERIFY(lines[0].startsWith("{\"id\":0,\"started_at\":\"2024-05-01T08:00:00.123Z\","));
    }

    // The terminal table: one line per record whatever its error text holds, every column
    // starting where its header does.
    void table()
    {
        UpgradeRecord ok = Sample(QStringLiteral("Base"));
        ok.success = true;
        ok.stopped_by.clear();
        ok.error_text.clear();
        ok.port_name = QStringLiteral("/dev/pts/12");
        UpgradeRecord stopped = Sample();
        stopped.error_text = QStringLiteral("USB connection lost!\n\nThe device stopped answering\n");
        const QStringList lines = HistoryFormat::Table({ok, stopped}).split('\n');
        QCOMPARE(lines.size(), 4);
        QCOMPARE(lines[3], QString());
        const QString header = lines[0];
        const int result = header.indexOf("Result");
        const int port = header.indexOf("Port");
        const int error = header.indexOf("Error");
        QVERIFY(result > 0 && port > 0 && error > result);
        QVERIFY(lines[1].mid(result).startsWith("success  "));
        QVERIFY(lines[2].mid(result).startsWith("failed (operator)  "));
        QVERIFY(lines[1].mid(port).startsWith("/dev/pts/12  "));
        QCOMPARE(lines[2].mid(error), QString("USB connection lost! / The device stopped answering"));
        QCOMPARE(lines[1].size(), error - 2);  // no error: the line ends before the column
        QVERIFY(lines[1].contains(" 41.9 s ") && lines[1].contains(" operator7@station-3"));
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 5 && std::strcmp(argv[1], "--write-records") == 0)
        return WriteRecords(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]), std::atoi(argv[4]));
    if (argc == 4 && std::strcmp(argv[1], "--append-limited") == 0)
        return AppendLimited(QString::fromLocal8Bit(argv[2]), std::atoll(argv[3]));
    TestHistory test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_history.moc"
