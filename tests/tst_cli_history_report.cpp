// The line's report, `upgrader-cli history --server --report FILE`, against a real PostgreSQL
// server holding a known line: its figures (first-pass yield, stations, failure reasons, job
// times, versions in the field) as the server's queries give them, counted here from the records
// another way; the PDF's tables hold those numbers and its pages are drawn; a PNG holds one
// chart; and a report that cannot be made is refused or left unwritten, never half written.
#include "history_server.h"
#include "local_pg_server.h"
#include "sample_records.h"

#include <QFile>
#include <QImage>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <algorithm>
#include <optional>

namespace {

constexpr int kCommandMs = 60000;
constexpr char kLine[] = "line";
// Days are the reader's: every job lies between 09:00 and 14:00 UTC, on the same date for a
// reader anywhere from 9 hours west to 9 hours east; the command's runs read at UTC+8.
constexpr char kReaderZone[] = "UTC-8";

struct Job {
    const char *host;
    const char *target;
    const char *started_at;  // UTC
    qint64 duration_ms;
    const char *result;      // success, failed, current
    const char *stopped_by;
    const char *serial;
    const char *error_text;
    const char *version_after;
};

// Three stations over two days: units upgraded twice (a failed first pass, then a success), a
// "current" job before a unit's first pass, a stop and a time-out, one reason written twice with
// other numbers, letter case and punctuation, a Chinese reason, and a job of a unit without serial.
const Job kJobs[] = {
    {"line-a", "Meter", "2026-04-01T09:00:00Z", 30000, "success", "", "U1", "", "2.1.0.5"},
    {"line-a", "Meter", "2026-04-01T09:10:00Z", 12000, "failed", "", "U2",
     "Section 0x08004000 was not flashed within 20 s\nUSB connection lost!", "in bootloader"},
    {"line-a", "Meter", "2026-04-01T09:30:00Z", 34000, "success", "", "U2", "", "2.1.0.5"},
    {"line-b", "Meter", "2026-04-01T10:00:00Z", 500, "current", "", "U3", "", "2.0.0.1"},
    {"line-b", "Meter", "2026-04-01T10:20:00Z", 40000, "success", "", "U3", "", "2.1.0.5"},
    {"line-b", "Base", "2026-04-01T11:00:00Z", 5000, "failed", "operator", "U1", "", "1.0.0.0"},
    {"line-b", "Base", "2026-04-01T11:30:00Z", 60000, "success", "", "U1", "", "1.2.0.0"},
    {"line-c", "Meter", "2026-04-02T09:00:00Z", 15000, "failed", "", "U4",
     "  section 0x08010000 was NOT flashed within 25 s.", "2.0.0.1"},
    {"line-c", "Meter", "2026-04-02T09:20:00Z", 9000, "failed", "timeout", "U5", "", "no answer"},
    {"line-c", "Steering", "2026-04-02T10:00:00Z", 45000, "success", "", "U6", "", "3.0.0.0"},
    {"line-a", "Steering", "2026-04-02T11:00:00Z", 8000, "failed", "", "U7", "电机无应答 3 次！", "in bootloader"},
    {"line-a", "Steering", "2026-04-02T12:00:00Z", 8000, "failed", "", "U8", "Recv different addr/len", ""},
    {"line-a", "Meter", "2026-04-02T13:00:00Z", 31000, "success", "", "U4", "", "2.1.0.5"},
    {"line-b", "Meter", "2026-04-02T14:00:00Z", 33000, "success", "", "", "", "2.1.0.5"},
};

UpgradeRecord RecordOf(const Job &job)
{
    const QString result = QLatin1String(job.result);
    UpgradeRecord record = SampleRecord(job.target, QDateTime::fromString(job.started_at, Qt::ISODate).toUTC(),
                                        QString::fromUtf8(job.error_text));
    record.success = result != QLatin1String("failed");
    record.current = result == QLatin1String("current");
    record.duration_ms = job.duration_ms;
    record.stopped_by = job.stopped_by;
    record.host = job.host;
    record.unit_serial = job.serial;
    record.version_after = job.version_after;
    record.uid = QUuid::createUuid().toString(QUuid::WithoutBraces);
    return record;
}

QDate Day(const UpgradeRecord &record)
{
    return record.started_at.toLocalTime().date();
}

bool Stop(const UpgradeRecord &record)
{
    return record.stopped_by == QLatin1String(UpgradeRecord::kOperator) ||
           record.stopped_by == QLatin1String(UpgradeRecord::kWindowClosed);
}

// The first passes counted here: per target and unit, the first job that sent an image.
QMap<QPair<QDate, QString>, QPair<qint64, qint64>> FirstPasses(const QList<UpgradeRecord> &records)
{
    QMap<QPair<QString, QString>, UpgradeRecord> first;  // records are oldest first
    for (const UpgradeRecord &record : records) {
        if (!record.current && !record.unit_serial.isEmpty() && !first.contains({record.target, record.unit_serial}))
            first.insert({record.target, record.unit_serial}, record);
    }
    QMap<QPair<QDate, QString>, QPair<qint64, qint64>> days;
    for (const UpgradeRecord &record : first) {
        auto &day = days[{Day(record), record.target}];
        ++day.first;
        day.second += record.success ? 1 : 0;
    }
    return days;
}

// The quantile as the server interpolates it (percentile_cont).
double Quantile(QList<qint64> values, double q)
{
    std::sort(values.begin(), values.end());
    const double at = q * (values.size() - 1);
    const int below = int(at);
    const double above = values.value(below + 1, values[below]);
    return (values[below] + (at - below) * (above - values[below])) / 1000.0;
}

QString Run(const QStringList &arguments, const QString &connection, int *code)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("TZ", kReaderZone);
    environment.insert(HistoryServer::kEnvironmentVariable, connection);
    process.setProcessEnvironment(environment);
    process.start(qEnvironmentVariable("UPGRADER_CLI"), QStringList{"history"} + arguments);
    const bool ended = process.waitForFinished(kCommandMs) && process.exitStatus() == QProcess::NormalExit;
    *code = ended ? process.exitCode() : -1;
    return QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError());
}

// Runs one of poppler's programs; its standard output.
QByteArray Poppler(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(kCommandMs) || process.exitCode() != 0)
        qWarning("%s failed: %s", qPrintable(program), process.readAllStandardError().constData());
    return process.readAllStandardOutput();
}

// A drawn page or chart: enough of it not white, in more than a few colours.
void VerifyDrawn(const QImage &image, const QString &what)
{
    QVERIFY2(!image.isNull(), qPrintable(what));
    qint64 inked = 0;
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            if (qRed(pixel) < 230 || qGreen(pixel) < 230 || qBlue(pixel) < 230)
                ++inked;
            colours.insert(pixel & 0xf0f0f0);
        }
    }
    const double share = double(inked) / (qint64(image.width()) * image.height());
    QVERIFY2(share > 0.02 && share < 0.9, qPrintable(QStringLiteral("%1: %2 inked").arg(what).arg(share)));
    QVERIFY2(colours.size() > 4, qPrintable(QStringLiteral("%1: %2 colours").arg(what).arg(colours.size())));
}

// Cells of a table's row in pdftotext's layout: in order on one line, apart by spaces.
bool HasRow(const QString &text, const QStringList &cells)
{
    QStringList escaped;
    for (const QString &cell : cells)
        escaped << QRegularExpression::escape(cell);
    return text.contains(QRegularExpression(QStringLiteral("(^|\\s)%1([ \\t]|\\n|$)").arg(escaped.join("[ \\t]+"))));
}

}  // namespace

class TestCliHistoryReport : public QObject {
    Q_OBJECT

    LocalPgServer pg;
    QList<UpgradeRecord> line;  // oldest first
    QTemporaryDir out;

    QList<UpgradeRecord> Chosen(const HistoryServer::Filter &filter) const
    {
        QList<UpgradeRecord> chosen;
        for (const UpgradeRecord &record : line) {
            if ((filter.station.isEmpty() || record.host == filter.station) &&
                (filter.local.target.isEmpty() || record.target == filter.local.target) &&
                (!filter.local.since.isValid() || record.started_at >= filter.local.since) &&
                (!filter.local.until.isValid() || record.started_at < filter.local.until))
                chosen << record;
        }
        return chosen;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(qEnvironmentVariable("UPGRADER_CLI")).isExecutable(), "UPGRADER_CLI must name upgrader-cli");
        QString error;
        QVERIFY2(pg.Start(&error), qPrintable(error));
        QVERIFY2(pg.CreateDatabase(kLine, &error), qPrintable(error));
        for (const Job &job : kJobs)
            line << RecordOf(job);
        HistoryServer::Connection server(pg.Connection(kLine));
        QString warning;
        QVERIFY2(server.Push(line, &warning), qPrintable(warning));
    }

    // Every figure of the report, as the server's queries give it, against the records counted
    // here; the filters choose the records of every part.
    void figuresMatchTheRecords_data()
    {
        QTest::addColumn<QString>("station");
        QTest::addColumn<QString>("target");
        QTest::addColumn<QDateTime>("since");
        QTest::addColumn<QDateTime>("until");
        const QDateTime second_day = QDateTime::fromString("2026-04-02T00:00:00Z", Qt::ISODate);
        QTest::newRow("the line") << "" << "" << QDateTime() << QDateTime();
        QTest::newRow("one station") << "line-a" << "" << QDateTime() << QDateTime();
        QTest::newRow("one target") << "" << "Meter" << QDateTime() << QDateTime();
        QTest::newRow("the second day") << "" << "" << second_day << QDateTime();
        QTest::newRow("until the second day") << "" << "" << QDateTime() << second_day;
    }

    void figuresMatchTheRecords()
    {
        QFETCH(QString, station);
        QFETCH(QString, target);
        QFETCH(QDateTime, since);
        QFETCH(QDateTime, until);
        HistoryServer::Filter filter;
        filter.station = station;
        filter.local.target = target;
        filter.local.since = since;
        filter.local.until = until;
        const QList<UpgradeRecord> records = Chosen(filter);
        QVERIFY(!records.isEmpty());
        HistoryServer::Connection server(pg.Connection(kLine));
        QString warning;

        QList<HistoryServer::FirstPassDay> firsts;
        QVERIFY2(server.FirstPasses(filter, &firsts, &warning), qPrintable(warning));
        const auto expected_firsts = FirstPasses(records);
        QCOMPARE(firsts.size(), expected_firsts.size());
        for (const HistoryServer::FirstPassDay &day : firsts) {
            const QPair<qint64, qint64> expected = expected_firsts.value({day.day, day.target});
            const QPair<qint64, qint64> got{day.units, day.passed};
            QCOMPARE(got, expected);
        }

        QList<HistoryServer::StationTally> stations;
        QVERIFY2(server.Stations(filter, &stations, &warning), qPrintable(warning));
        QStringList hosts;
        for (const UpgradeRecord &record : records) {
            if (!hosts.contains(record.host))
                hosts << record.host;
        }
        std::sort(hosts.begin(), hosts.end());
        QCOMPARE(stations.size(), hosts.size());
        for (int i = 0; i < hosts.size(); ++i) {
            HistoryServer::StationTally expected;
            for (const UpgradeRecord &record : records) {
                if (record.host != hosts[i])
                    continue;
                ++expected.jobs;
                if (record.success)
                    ++expected.successes;
                else if (Stop(record))
                    ++expected.stops;
                else if (record.stopped_by == QLatin1String(UpgradeRecord::kTimeout))
                    ++expected.timeouts;
                else
                    ++expected.failures;
            }
            const auto &got = stations[i];
            QCOMPARE(got.station, hosts[i]);
            const QList<qint64> got_counts{got.jobs, got.successes, got.failures, got.stops, got.timeouts};
            const QList<qint64> expected_counts{expected.jobs, expected.successes, expected.failures, expected.stops,
                                                expected.timeouts};
            QCOMPARE(got_counts, expected_counts);
        }

        QList<HistoryServer::DurationSpread> durations;
        QVERIFY2(server.Durations(filter, &durations, &warning), qPrintable(warning));
        QMap<QString, QList<qint64>> upgrades;
        for (const UpgradeRecord &record : records) {
            if (record.success && !record.current)
                upgrades[record.target] << record.duration_ms;
        }
        QCOMPARE(durations.size(), upgrades.size());
        for (const HistoryServer::DurationSpread &spread : durations) {
            const QList<qint64> times = upgrades.value(spread.target);
            QCOMPARE(spread.count, qint64(times.size()));
            const QList<double> got{spread.min_s, spread.q1_s, spread.median_s, spread.q3_s, spread.max_s};
            const QList<double> expected{Quantile(times, 0), Quantile(times, 0.25), Quantile(times, 0.5),
                                         Quantile(times, 0.75), Quantile(times, 1)};
            QCOMPARE(got, expected);
        }

        QList<HistoryServer::FieldVersion> versions;
        QVERIFY2(server.FieldVersions(filter, &versions, &warning), qPrintable(warning));
        QMap<QPair<QString, QString>, QString> last;  // target and unit: the last job's version
        for (const UpgradeRecord &record : records) {
            if (!record.unit_serial.isEmpty())
                last[{record.target, record.unit_serial}] = record.version_after;
        }
        QMap<QPair<QString, QString>, qint64> units;
        for (auto it = last.begin(); it != last.end(); ++it)
            ++units[{it.key().first, it.value()}];
        QMap<QPair<QString, QString>, qint64> got_units;
        for (const HistoryServer::FieldVersion &version : versions)
            got_units[{version.target, version.version}] = version.units;
        QCOMPARE(got_units, units);
    }

    // Failures group by their first line, numbers, case and trailing punctuation aside; stops and
    // time-outs stand apart whatever their text; most first.
    void groupsFailureReasons()
    {
        HistoryServer::Connection server(pg.Connection(kLine));
        QList<HistoryServer::FailureReason> reasons;
        QString warning;
        QVERIFY2(server.Reasons({}, &reasons, &warning), qPrintable(warning));
        using Kind = HistoryServer::FailureReason::Kind;
        QList<QPair<int, QString>> got;
        for (const auto &reason : reasons)
            got << qMakePair(int(reason.kind) * 100 + int(reason.count), reason.reason.toLower());
        const QList<QPair<int, QString>> expected{
            {int(Kind::Failure) * 100 + 2, "section # was not flashed within # s"},
            {int(Kind::Failure) * 100 + 1, "recv different addr/len"},
            {int(Kind::Stop) * 100 + 1, "operator"},
            {int(Kind::Timeout) * 100 + 1, "timeout"},
            {int(Kind::Failure) * 100 + 1, QString::fromUtf8("电机无应答 # 次")},
        };
        QCOMPARE(got.first(), expected.first());
        const QSet<QPair<int, QString>> got_set(got.begin(), got.end());
        const QSet<QPair<int, QString>> expected_set(expected.begin(), expected.end());
        QCOMPARE(got_set, expected_set);
    }

    // The PDF: a title naming the server and the filters, each part's table with the numbers of
    // the queries above, and pages that are drawn.
    void pdfHoldsTheTables()
    {
        const QString pdf = out.filePath("line.pdf");
        int code = -1;
        const QString said = Run({"--server", "--report", pdf, "--station", "line-a"}, pg.Connection(kLine), &code);
        QVERIFY2(code == 0, qPrintable(said));
        QVERIFY2(said.contains(QStringLiteral("(6 records)")), qPrintable(said));
        // The font's ligatures (the "fl" of "flashed") come back as one character each.
        const QString text =
            QString::fromUtf8(Poppler("pdftotext", {"-layout", pdf, "-"})).normalized(QString::NormalizationForm_KC);
        QVERIFY2(text.contains("Upgrade report of the line") && text.contains(QStringLiteral("/%1").arg(kLine)) &&
                     text.contains("station line-a"),
                 qPrintable(text.left(600)));
        // The station's jobs: 6, 3 successes, 3 failures of their own, no stop, no time-out.
        QVERIFY2(HasRow(text, {"line-a", "6", "3", "3", "0", "0", "50.0 %"}), qPrintable(text));
        // Its first day of the Meter: jobs 3, successes 2, failures 1, median 32.0 s, two first
        // passes of which one passed.
        QVERIFY2(HasRow(text, {"2026-04-01", "Meter", "3", "2", "1", "32.0", "2", "1", "50.0 %"}), qPrintable(text));
        // The station's three reasons, one job each, and the one written in Chinese as it was.
        QVERIFY2(HasRow(text, {"Section # was not flashed within # s", "device/link", "1", "33.3 %"}), qPrintable(text));
        QVERIFY2(text.contains(QString::fromUtf8("电机无应答 # 次")), qPrintable(text));
        QVERIFY2(HasRow(text, {"Meter", "2.1.0.5", "3", "100.0 %"}), qPrintable(text));

        const QString pages = out.filePath("page");
        Poppler("pdftoppm", {"-r", "60", "-png", pdf, pages});
        QDir folder(out.path());
        const QStringList drawn = folder.entryList({"page*.png"}, QDir::Files, QDir::Name);
        QCOMPARE(drawn.size(), 5);  // the title and the yield, then one page per part
        for (const QString &page : drawn)
            VerifyDrawn(QImage(folder.filePath(page)), page);
    }

    // Filters that choose nothing still give a whole report, every part saying so.
    void reportsAnEmptySelection()
    {
        const QString pdf = out.filePath("empty.pdf");
        int code = -1;
        const QString said = Run({"--server", "--report", pdf, "--station", "line-z"}, pg.Connection(kLine), &code);
        QVERIFY2(code == 0, qPrintable(said));
        QVERIFY2(said.contains(QStringLiteral("(0 records)")), qPrintable(said));
        const QString text = QString::fromUtf8(Poppler("pdftotext", {"-layout", pdf, "-"}));
        QCOMPARE(text.count(QStringLiteral("No records")), 5);
        QVERIFY2(text.contains("station line-z"), qPrintable(text.left(600)));
    }

    // A PNG holds the chart asked for, drawn.
    void pngHoldsOneChart_data()
    {
        QTest::addColumn<QStringList>("chart");
        QTest::newRow("default") << QStringList{};
        for (const char *name : {"yield", "stations", "reasons", "durations", "versions"})
            QTest::newRow(name) << QStringList{"--chart", name};
    }

    void pngHoldsOneChart()
    {
        QFETCH(QStringList, chart);
        const QString png = out.filePath(QStringLiteral("chart-%1.png").arg(QTest::currentDataTag()));
        int code = -1;
        const QString said = Run(QStringList{"--server", "--report", png} + chart, pg.Connection(kLine), &code);
        QVERIFY2(code == 0, qPrintable(said));
        const QImage image(png, "PNG");
        QCOMPARE(image.size(), QSize(1200, 720));
        VerifyDrawn(image, png);
    }

    // Refused before anything is read or written.
    void usageErrors_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("words");
        QTest::newRow("no --server") << QStringList{"--report", "REPORT.pdf"} << "give --server too";
        QTest::newRow("SVG") << QStringList{"--server", "--report", "REPORT.svg"} << "ending in .pdf";
        QTest::newRow("no extension") << QStringList{"--server", "--report", "REPORT"} << "ending in .pdf";
        QTest::newRow("unknown chart") << QStringList{"--server", "--report", "REPORT.png", "--chart", "pie"}
                                       << "--chart takes one of";
        QTest::newRow("chart of a PDF") << QStringList{"--server", "--report", "REPORT.pdf", "--chart", "reasons"}
                                        << "a PDF holds them all";
        QTest::newRow("chart alone") << QStringList{"--server", "--chart", "reasons"} << "give --report too";
        QTest::newRow("with --csv") << QStringList{"--server", "--report", "REPORT.pdf", "--csv"} << "leave out --csv";
    }

    void usageErrors()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, words);
        const QString file = out.filePath(QStringLiteral("usage-%1").arg(QTest::currentDataTag()));
        arguments.replaceInStrings("REPORT", file);
        int code = -1;
        const QString said = Run(arguments, pg.Connection(kLine), &code);
        QCOMPARE(code, 2);
        QVERIFY2(said.contains(words), qPrintable(said));
        QDir folder(out.path());
        QCOMPARE(folder.entryList({QStringLiteral("usage-%1*").arg(QTest::currentDataTag())}, QDir::Files), QStringList());
    }

    // A report that cannot be made leaves the file as it was: none where there was none, the
    // earlier report where there was one.
    void writtenWholeOrNotAtAll()
    {
        int code = -1;
        const QString nowhere = out.filePath("no-such-folder/line.pdf");
        QString said = Run({"--server", "--report", nowhere}, pg.Connection(kLine), &code);
        QCOMPARE(code, 8);
        QVERIFY2(said.contains("Report not written to " + nowhere), qPrintable(said));
        QVERIFY(!QFileInfo::exists(nowhere));

        const QString kept = out.filePath("kept.pdf");
        said = Run({"--server", "--report", kept}, pg.Connection(kLine), &code);
        QVERIFY2(code == 0, qPrintable(said));
        QFile file(kept);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray before = file.readAll();
        file.close();
        QVERIFY(before.startsWith("%PDF"));
        said = Run({"--server", "--report", kept}, pg.Connection("no_such_database"), &code);
        QCOMPARE(code, 8);
        QVERIFY2(said.contains("Report not written to " + kept), qPrintable(said));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), before);
        QCOMPARE(QDir(out.path()).entryList({"kept*"}, QDir::Files), QStringList{"kept.pdf"});
    }
};

QTEST_GUILESS_MAIN(TestCliHistoryReport)
#include "tst_cli_history_report.moc"
