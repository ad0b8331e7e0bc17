// Every program answers --help with its usage and --version with its name and the product's
// version, exit code 0, without a display and before it touches a port or the disk; fwimage refuses what would destroy an input or write a wrong image,
// and what is no file, at once. upgrader-bench --history measures against a PostgreSQL server of its
// own and refuses what it cannot measure.
#include <QProcess>
#include <QtTest>

#include <sys/stat.h>

#include <limits>

namespace {

// upgrader-bench prints every figure with three decimals: each is within half a thousandth of
// what was measured.
constexpr double kPrintedHalfStep = 0.0005;

// Whether a printed rate of records a second and a printed time for the same records can come from
// one measurement, at the printed precision: some time within half a step of the printed one
// gives a rate within half a step of the printed rate. A push of some tens of milliseconds (a fast
// machine) moves the rate by a few percent within the time's last digit.
bool RateAgreesWithTime(double printed_rate, double printed_s, double records)
{
    const double slowest = records / (printed_s + kPrintedHalfStep);
    const double fastest = printed_s > kPrintedHalfStep ? records / (printed_s - kPrintedHalfStep)
                                                        : std::numeric_limits<double>::infinity();
    // A millionth for the arithmetic itself.
    return printed_rate + kPrintedHalfStep >= slowest * (1 - 1e-6) && printed_rate - kPrintedHalfStep <= fastest * (1 + 1e-6);
}

}  // namespace

class TestPrograms : public QObject {
    Q_OBJECT

private slots:
    void helpExitsCleanly_data()
    {
        QTest::addColumn<QString>("variable");
        QTest::addColumn<QString>("option");
        QTest::addColumn<QString>("usage");
        for (const char *option : {"--help", "-h", "--help-all"}) {
            QTest::addRow("fwimage %s", option) << "FWIMAGE" << option << "usage: fwimage build";
            QTest::addRow("upgrader-demo %s", option) << "UPGRADER_DEMO" << option << "--headless";
            QTest::addRow("upgrader-bench %s", option) << "UPGRADER_BENCH" << option << "--loss";
            QTest::addRow("upgrader-bench %s history", option) << "UPGRADER_BENCH" << option << "--history-records";
            QTest::addRow("upgrader-sim %s", option) << "UPGRADER_SIM" << option << "--bases";
            QTest::addRow("upgrader-cli %s", option) << "UPGRADER_CLI" << option << "upgrade TARGET";
        }
    }

    void helpExitsCleanly()
    {
        QFETCH(QString, variable);
        QFETCH(QString, option);
        QFETCH(QString, usage);
        const QString program = qEnvironmentVariable(qPrintable(variable));
        QVERIFY2(QFileInfo(program).isExecutable(), qPrintable(variable + " must name the program"));
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove("DISPLAY");  // the help needs no display
        environment.remove("WAYLAND_DISPLAY");
        process.setProcessEnvironment(environment);
        process.start(program, {option});
        QVERIFY(process.waitForFinished(30000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        const QString out = QString::fromUtf8(process.readAllStandardOutput());
        QVERIFY2(out.contains(usage), qPrintable(out));
    }

    void versionIsPrinted_data()
    {
        QTest::addColumn<QString>("variable");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("arguments");
        QTest::addRow("upgrader") << "UPGRADER" << "upgrader" << QStringList{"--version"};
        QTest::addRow("upgrader-cli") << "UPGRADER_CLI" << "upgrader-cli" << QStringList{"--version"};
        QTest::addRow("upgrader-sim") << "UPGRADER_SIM" << "upgrader-sim" << QStringList{"--version"};
        QTest::addRow("fwimage") << "FWIMAGE" << "fwimage" << QStringList{"--version"};
        QTest::addRow("upgrader-bench") << "UPGRADER_BENCH" << "upgrader-bench" << QStringList{"--version"};
        QTest::addRow("upgrader-demo") << "UPGRADER_DEMO" << "upgrader-demo" << QStringList{"--version"};
        // The version comes first: the command after it is neither parsed nor run.
        QTest::addRow("upgrader-cli before a command")
            << "UPGRADER_CLI" << "upgrader-cli" << QStringList{"--version", "upgrade", "Meter", "--port", "nowhere"};
    }

    void versionIsPrinted()
    {
        QFETCH(QString, variable);
        QFETCH(QString, name);
        QFETCH(QStringList, arguments);
        const QString program = qEnvironmentVariable(qPrintable(variable));
        QVERIFY2(QFileInfo(program).isExecutable(), qPrintable(variable + " must name the program"));
        const QString version = qEnvironmentVariable("UPGRADER_VERSION");
        QVERIFY2(!version.isEmpty(), "UPGRADER_VERSION must name the project's version");
        QTemporaryDir empty;  // a program that went on would find no configuration here
        QProcess process;
        process.setWorkingDirectory(empty.path());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        // No display and no platform at all: the window's application would abort without one.
        environment.remove("DISPLAY");
        environment.remove("WAYLAND_DISPLAY");
        environment.remove("QT_QPA_PLATFORM");
        process.setProcessEnvironment(environment);
        process.start(program, arguments);
        QVERIFY(process.waitForFinished(30000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(process.readAllStandardOutput()), name + ' ' + version + '\n');
        QCOMPARE(QString::fromUtf8(process.readAllStandardError()), QString());
    }

    // upgrader-bench --history at its smallest: a real PostgreSQL server of its own, 100 records,
    // one run. Its figures are there and agree with each other; the times themselves are not judged.
    void benchHistoryFiguresAddUp()
    {
        QProcess bench;
        bench.start(qEnvironmentVariable("UPGRADER_BENCH"), {"--history", "--history-records", "100", "--runs", "1",
                                                             "--history-batches", "100", "--size", "64"});
        const bool ended = bench.waitForFinished(90000);
        if (!ended) {
            bench.kill();
            bench.waitForFinished();
        }
        QVERIFY2(ended, "upgrader-bench --history never ended");
        const QString err = QString::fromUtf8(bench.readAllStandardError());
        QVERIFY2(bench.exitStatus() == QProcess::NormalExit && bench.exitCode() == 0, qPrintable(err));
        QMap<QString, double> figures;
        for (const QString &line : QString::fromUtf8(bench.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts)) {
            const QStringList parts = line.split(": ");
            bool ok = false;
            QVERIFY2(parts.size() == 2, qPrintable(line));
            figures.insert(parts[0], parts[1].toDouble(&ok));
            QVERIFY2(ok, qPrintable(line));
        }
        const auto figure = [&figures](const QString &name) {
            if (!figures.contains(name))
                qWarning("missing: %s", qPrintable(name));
            return figures.value(name, -1);
        };
        QCOMPARE(figure("history_records"), 100.0);
        QCOMPARE(figure("history_server_uids"), 100.0);
        QCOMPARE(figure("history_job_ok"), 1.0);
        QVERIFY(figure("history_append_100_s") > 0);
        QVERIFY(qAbs(figure("history_append_ms_per_record") - figure("history_append_100_s") * 10) < 0.01);
        // The station's batch is always timed; the other asked for beside it.
        for (const char *batch : {"_batch100", "_batch500"}) {
            QVERIFY(figure(QStringLiteral("history_push_100_s") + batch) > 0);
            QVERIFY(figure(QStringLiteral("history_push_records_per_s") + batch) > 0);
        }
        QVERIFY(!figures.contains("history_push_100_s_batch1000"));
        QCOMPARE(figure("history_push_100_s"), figure("history_push_100_s_batch500"));
        const double rate = figure("history_push_records_per_s");
        QVERIFY2(RateAgreesWithTime(rate, figure("history_push_100_s"), 100),
                 qPrintable(QStringLiteral("%1 records/s, %2 s").arg(rate).arg(figure("history_push_100_s"))));
        // One run: its median is its spread.
        for (auto it = figures.cbegin(); it != figures.cend(); ++it) {
            if (it.key().endsWith("_min") || it.key().endsWith("_max")) {
                const QString median = it.key().chopped(4);
                QVERIFY2(figures.contains(median), qPrintable(it.key()));
                QCOMPARE(it.value(), figures.value(median));
            }
        }
        for (const char *measure : {"job_s", "tick_rate_hz", "max_tick_stall_ms", "cpu_s"}) {
            const double alone = figure(QStringLiteral("history_alone_") + measure);
            const double pushing = figure(QStringLiteral("history_pushing_") + measure);
            QVERIFY2(alone > 0 && pushing > 0, measure);
            // Each printed figure is rounded to 0.0005 at most.
            const double ratio = figure(QStringLiteral("history_pushing_") + measure + "_ratio");
            const double rounding = ratio * (0.0005 / alone + 0.0005 / pushing) + 0.0005;
            QVERIFY2(qAbs(ratio - pushing / alone) <= rounding, measure);
        }
        // Whole passes of 100 records ended during the job, and a pass under way at its end sent
        // part of its records.
        const double passes = figure("history_pushing_passes_ended");
        const double sent = figure("history_pushing_records_sent");
        QVERIFY2(passes >= 1, qPrintable(QString::number(passes)));
        QVERIFY2(sent >= passes * 100 && sent <= (passes + 1) * 100, qPrintable(QString::number(sent)));
        if (sent > passes * 100)
            QCOMPARE(figure("history_pushing_jobs_outlasted"), 1.0);
        const double share = figure("history_pushing_share_of_job");
        QVERIFY2(share > 0 && share <= 1, qPrintable(QString::number(share)));
    }

    // The bench's printed rate and time of a push agree at the precision they are printed with,
    // whatever the machine's speed; a rate that does not follow from the time does not.
    void printedPushFiguresAgree_data()
    {
        QTest::addColumn<double>("rate");
        QTest::addColumn<double>("seconds");
        QTest::addColumn<bool>("agree");
        // 100 records in 32.4 ms, printed as 0.032 s: 100 / 0.032 is 3125, 1.4 % off.
        QTest::newRow("a push of some tens of milliseconds") << 3083.06 << 0.032 << true;
        QTest::newRow("a push of two seconds") << 48.544 << 2.060 << true;
        QTest::newRow("a push faster than the time's last digit") << 250000.0 << 0.000 << true;
        QTest::newRow("a rate that does not follow from the time") << 2900.0 << 0.032 << false;
        QTest::newRow("a rate too high for the time") << 3300.0 << 0.032 << false;
    }

    void printedPushFiguresAgree()
    {
        QFETCH(double, rate);
        QFETCH(double, seconds);
        QFETCH(bool, agree);
        QCOMPARE(RateAgreesWithTime(rate, seconds, 100), agree);
    }

    // Options that cannot be measured are refused before a server is started: exit 2 and why.
    void benchHistoryRefusesOptions_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("error");
        QTest::newRow("no records") << QStringList{"--history-records", "0"}
                                    << "--history-records takes a number from 1 up, not '0'\n";
        QTest::newRow("records not a number") << QStringList{"--history-records", "many"}
                                              << "--history-records takes a number from 1 up, not 'many'\n";
        QTest::newRow("no runs") << QStringList{"--runs", "0"} << "--runs takes a number from 1 up, not '0'\n";
        QTest::newRow("batch of none") << QStringList{"--history-batches", "100,0"}
                                       << "--history-batches takes numbers of records from 1 to 2000, not '0'\n";
        QTest::newRow("batch past the server's parameters")
            << QStringList{"--history-batches", "5000"}
            << "--history-batches takes numbers of records from 1 to 2000, not '5000'\n";
    }

    void benchHistoryRefusesOptions()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, error);
        QProcess bench;
        bench.start(qEnvironmentVariable("UPGRADER_BENCH"), QStringList{"--history"} + arguments);
        QVERIFY(bench.waitForFinished(30000));
        QCOMPARE(bench.exitCode(), 2);
        QCOMPARE(bench.readAllStandardOutput(), QByteArray());
        QCOMPARE(QString::fromUtf8(bench.readAllStandardError()), error);
    }

    // Without PostgreSQL's programs there is nothing to measure against: a clear reason, exit 1.
    void benchHistoryWithoutServer()
    {
        QTemporaryDir empty;
        QProcess bench;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("UPGRADER_PG_BIN", empty.path());
        bench.setProcessEnvironment(environment);
        bench.start(qEnvironmentVariable("UPGRADER_BENCH"), {"--history", "--history-records", "100"});
        QVERIFY(bench.waitForFinished(30000));
        QCOMPARE(bench.exitCode(), 1);
        QCOMPARE(bench.readAllStandardOutput(), QByteArray());
        const QString err = QString::fromUtf8(bench.readAllStandardError());
        QVERIFY2(err.startsWith("upgrader-bench: cannot start a PostgreSQL server for --history: ") && err.contains("initdb"),
                 qPrintable(err));
    }

    // Further on, --version belongs to the command: fwimage build's is the image's application
    // version, and the image says so.
    void fwimageVersionOptionIsTheImages()
    {
        QTemporaryDir dir;
        QFile raw(dir.filePath("a.raw"));
        QVERIFY(raw.open(QIODevice::WriteOnly) && raw.write(QByteArray(4096, 'a')) == 4096);
        raw.close();
        QProcess build;
        build.start(qEnvironmentVariable("FWIMAGE"),
                    {"build", "--version", "7.8.9", "-o", dir.filePath("out.bin"), "0x1000:" + raw.fileName()});
        QVERIFY(build.waitForFinished(30000));
        QCOMPARE(build.exitCode(), 0);
        QVERIFY(!build.readAllStandardOutput().contains(qPrintable(qEnvironmentVariable("UPGRADER_VERSION"))));
        QProcess info;
        info.start(qEnvironmentVariable("FWIMAGE"), {"info", dir.filePath("out.bin")});
        QVERIFY(info.waitForFinished(30000));
        QCOMPARE(info.exitCode(), 0);
        const QString text = QString::fromUtf8(info.readAllStandardOutput());
        QVERIFY2(text.contains("7.8.9"), qPrintable(text));
    }

    // Each row is one fwimage run in a folder holding a.raw (4096 bytes), b.raw (1024 bytes),
    // a link to a.raw and a named pipe; "@" in an argument stands for the folder.
    void fwimageRefuses_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("error");  // empty: succeeds
        QTest::addColumn<QString>("untouched");  // a file that must keep its bytes, or empty
        QTest::newRow("output is the input")
            << QStringList{"build", "-o", "@/a.raw", "0x1000:@/a.raw"} << "the output @/a.raw is the input @/a.raw: write the image to another file" << "a.raw";
        QTest::newRow("output is the input by another name")
            << QStringList{"build", "-o", "@/./sub/../a.raw", "0x1000:@/b.raw", "0x8000:@/a.raw"}
            << "the output @/./sub/../a.raw is the input @/a.raw: write the image to another file" << "a.raw";
        QTest::newRow("output is a link to the input")
            << QStringList{"build", "-o", "@/link.raw", "0x1000:@/a.raw"} << "the output @/link.raw is the input @/a.raw: write the image to another file"
            << "a.raw";
        QTest::newRow("overlapping inputs")
            << QStringList{"build", "-o", "@/out.bin", "0x1000:@/a.raw", "0x1800:@/b.raw"}
            << "the binaries for 0x00001000 (0x00001000..0x00001FFF) and 0x00001800 (0x00001800..0x00001BFF) overlap" << "";
        QTest::newRow("inputs side by side") << QStringList{"build", "-o", "@/out.bin", "0x1000:@/a.raw", "0x2000:@/b.raw"}
                                             << "" << "a.raw";
        QTest::newRow("input is a named pipe") << QStringList{"build", "-o", "@/out.bin", "0x1000:@/pipe"}
                                               << "@/pipe is a named pipe (FIFO), not a regular file" << "";
        QTest::newRow("input is an endless device") << QStringList{"build", "-o", "@/out.bin", "0x1000:/dev/zero"}
                                                    << "/dev/zero is a character device, not a regular file" << "";
        QTest::newRow("output is a named pipe") << QStringList{"build", "-o", "@/pipe", "0x1000:@/a.raw"}
                                                << "@/pipe is not a regular file: the image is written to a file" << "a.raw";
        // Under an image's name: info judges a path as an upgrade does, and one without ".bin" is
        // refused by its name before anything else is said of it.
        QTest::newRow("info of a named pipe") << QStringList{"info", "@/pipe.bin"}
                                              << "@/pipe.bin is a named pipe (FIFO), not a regular file" << "";
        QTest::newRow("info of an endless device") << QStringList{"info", "@/zero.bin"}
                                                   << "@/zero.bin is a character device, not a regular file" << "";
        QTest::newRow("info of a path without .bin")
            << QStringList{"info", "/dev/zero"}
            << "/dev/zero is not a valid image: The path does not contain \".bin\" (in lower case): only .bin files "
               "are taken as images!"
            << "";
    }

    void fwimageRefuses()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, error);
        QFETCH(QString, untouched);
        QTemporaryDir dir;
        QByteArray a(4096, '\0');
        for (int i = 0; i < a.size(); ++i)
            a[i] = char(i * 31 + i / 97);
        const QMap<QString, QByteArray> files{{"a.raw", a}, {"b.raw", QByteArray(1024, 'b')}};
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            QFile file(dir.filePath(it.key()));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(it.value()) == it.value().size());
        }
        QVERIFY(QDir(dir.path()).mkdir("sub"));
        QVERIFY(QFile::link(dir.filePath("a.raw"), dir.filePath("link.raw")));
        QCOMPARE(::mkfifo(QFile::encodeName(dir.filePath("pipe")).constData(), 0600), 0);
        QCOMPARE(::mkfifo(QFile::encodeName(dir.filePath("pipe.bin")).constData(), 0600), 0);
        QVERIFY(QFile::link("/dev/zero", dir.filePath("zero.bin")));
        for (QString &argument : arguments)
            argument.replace('@', dir.path());
        error.replace('@', dir.path());

        QProcess fwimage;
        fwimage.start(qEnvironmentVariable("FWIMAGE"), arguments);
        // Long enough for any machine; a run that waits on a pipe or reads without end is stopped.
        const bool ended = fwimage.waitForFinished(30000);
        if (!ended) {
            fwimage.kill();
            fwimage.waitForFinished();
        }
        QVERIFY2(ended, "fwimage never ended");
        const QString err = QString::fromUtf8(fwimage.readAllStandardError());
        if (error.isEmpty()) {
            QCOMPARE(fwimage.exitCode(), 0);
            QVERIFY2(err.isEmpty(), qPrintable(err));
        } else {
            QCOMPARE(fwimage.exitCode(), 1);
            QCOMPARE(err, "fwimage: " + error + "\n");
        }
        if (!untouched.isEmpty()) {
            QFile kept(dir.filePath(untouched));
            QVERIFY(kept.open(QIODevice::ReadOnly));
            QCOMPARE(kept.readAll(), files.value(untouched));
        }
        // A refused build leaves no image behind.
        if (!error.isEmpty() && arguments.value(0) == "build")
            QVERIFY(!QFileInfo::exists(dir.filePath("out.bin")));
    }
};

QTEST_GUILESS_MAIN(TestPrograms)
#include "tst_programs.moc"
