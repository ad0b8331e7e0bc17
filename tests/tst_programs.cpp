// Every program answers --help with its usage and exit code 0, without a display and before it
// touches a port or the disk.
#include <QProcess>
#include <QtTest>

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
};

QTEST_GUILESS_MAIN(TestPrograms)
#include "tst_programs.moc"
