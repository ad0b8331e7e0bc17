// The hand-over to the end-of-line test program as the operator meets it on Linux: the real
// window, a stand-in privilege helper first on PATH that behaves as pkexec does (it refuses a
// parent that is gone, fails with 126 or 127, otherwise becomes the program), and a stand-in
// program that leaves marks. The tool's own loop is QCoreApplication::exec, as in main.
#include "debug_capture.h"
#include "elevated_start.h"
#include "main_window.h"
#include "sim_port_catalog.h"
#include "test_workspace.h"
#include "window_access.h"

#include <QDir>
#include <QPushButton>
#include <QRegularExpression>
#include <QtTest>

#include <csignal>
#include <functional>

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kStaysOpen = 7;        // the window still turned its loop after the press
constexpr int kNeverEnded = 9;       // the press neither ended the tool nor came back
constexpr int kDeadlineMs = 20000;
constexpr int kWatchMs = 10;         // how often a test looks in while the tool waits
constexpr int kProgramStatus = 3;    // the test program's own verdict, none of the helper's codes

QByteArray Config()
{
    return R"({"eol_path": "tools/eol/run.sh", "is_english": true, "firmware": {
        "Base": {"dev_id": 2, "USB_PID": [4], "series": [{"boot_ver": "1.0.0", "hw_ver": "BASE-HW-A",
                 "section_len": 4096, "path": "fw/base_a.bin", "description": "base A"}]}}})";
}

QString Zh(const char *text)
{
    return QString::fromUtf8(text);
}

// What the stand-in helper does once it accepted its parent.
enum class Helper { Authorises, Dismissed, NoAuthority, Killed, Missing, NeverAnswers };

QByteArray HelperOutcome(Helper helper)
{
    switch (helper) {
    case Helper::Dismissed:
        return "echo 'Error executing command as another user: Request dismissed' >&2; exit 126\n";
    case Helper::NoAuthority:
        return "echo 'Error getting authority: Could not connect: No such file or directory' >&2; exit 127\n";
    case Helper::Killed:
        return "kill -9 $$\n";
    case Helper::NeverAnswers:  // an authentication nobody completes, bounded for a failed test
        return "exec sleep 60\n";
    case Helper::Authorises:
    case Helper::Missing:
        break;
    }
    return {};
}

// The end-of-line program as a workspace sees it, and the marks its helper and program leave.
struct EolBench {
    TestWorkspace workspace{Config()};
    QByteArray path = qgetenv("PATH");
    const QString root = QDir(workspace.dir.path()).canonicalPath();

    explicit EolBench(Helper helper)
    {
        const QByteArray marks = root.toUtf8();
        // pkexec as it behaves: it refuses unless the process that started it is still its
        // parent, records how it was asked, and replaces itself with the program.
        if (helper != Helper::Missing) {
            workspace.Write("bin/pkexec",
                            "#!/bin/sh\n"
                            "echo \"$$ $PPID $(pwd -P) $*\" > '" + marks + "/helper.tmp' && mv '" + marks +
                                "/helper.tmp' '" + marks + "/helper'\n"
                                "if [ \"$PPID\" != " + QByteArray::number(QCoreApplication::applicationPid()) +
                                " ]; then echo 'Refusing to render service to dead parents.' >&2; exit 127; fi\n" +
                                HelperOutcome(helper) +
                                "if [ \"$1\" = --keep-cwd ]; then shift; else cd /root || exit 127; fi\n"
                                "PATH=/usr/sbin:/usr/bin:/sbin:/bin exec \"$@\"\n",
                            true);
        }
        // The program marks its start, runs until the test releases it (bounded, so it never
        // outlives a failed test for long), marks its end and gives its own verdict.
        workspace.Write("tools/eol/run.sh",
                        "#!/bin/sh\n"
                        "echo \"$$ $PPID $(pwd -P)\" > '" + marks + "/started.tmp' && mv '" + marks +
                            "/started.tmp' '" + marks + "/started'\n"
                            "i=0\n"
                            "while [ ! -e '" + marks + "/release' ] && [ $i -lt 400 ]; do sleep 0.05; i=$((i+1)); done\n"
                            "touch '" + marks + "/finished'\n"
                            "exit " + QByteArray::number(kProgramStatus) + "\n",
                        true);
        workspace.Write("bin/.keep", "");
        // Missing: no helper anywhere on PATH, whatever this machine has installed.
        qputenv("PATH", workspace.Path("bin").toUtf8() + (helper == Helper::Missing ? "" : ":" + path));
    }
    ~EolBench()
    {
        qputenv("PATH", path);
        SetPrivilegeCheck(nullptr);
    }

    bool Has(const char *mark) const { return QFile::exists(root + '/' + mark); }
    QStringList Mark(const char *mark) const
    {
        QFile file(root + '/' + mark);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).trimmed().split(' ');
    }
    void Release() const { workspace.Write("release", ""); }
};

// Records the window going away and coming back.
class VisibilityLog : public QObject {
public:
    QList<QEvent::Type> events;
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Hide || event->type() == QEvent::Show)
            events << event->type();
        return false;
    }
};

// Presses the end-of-line button inside the application's own loop and returns that loop's exit
// code: 0 when the tool ended, kStaysOpen when the window kept working after the press.
// `look_in` runs every few milliseconds while the press is under way.
int PressEolTest(MainWindow &w, const std::function<void()> &look_in = {})
{
    QObject scope;  // every timer below ends with this press
    QTimer::singleShot(0, &scope, [&] {
        Get<QPushButton>(w, "btn_eol_test")->click();
        QTimer::singleShot(0, &scope, [] { QCoreApplication::exit(kStaysOpen); });
    });
    QTimer::singleShot(kDeadlineMs, &scope, [] { QCoreApplication::exit(kNeverEnded); });
    QTimer watch(&scope);
    if (look_in) {
        QObject::connect(&watch, &QTimer::timeout, look_in);
        watch.start(kWatchMs);
    }
    return QCoreApplication::exec();
}

int OpenDescriptors()
{
    return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size();
}

// Alive and not merely waiting to be reaped.
bool Running(const QString &pid)
{
    QFile stat("/proc/" + pid + "/stat");
    if (pid.isEmpty() || !stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray fields = stat.readAll();
    return fields.mid(fields.lastIndexOf(')') + 2, 1) != "Z";
}

bool Privileged()
{
    return true;
}

bool Unprivileged()
{
    return false;
}

}  // namespace

Q_DECLARE_METATYPE(Helper)

class TestEolHandover : public QObject {
    Q_OBJECT

private slots:
    // The status poll must see the simulated family only, never the machine's own ports.
    void initTestCase() { SimPortCatalog::Install(); }
    void init() { SimPortCatalog::Clear(); }
    void cleanupTestCase() { SimPortCatalog::Uninstall(); }

    // Authorised through the helper: the window goes away, the tool stays the helper's parent
    // until the program has run, and then ends with 0 whatever the program's own verdict.
    void helperRunsTheProgramThenTheToolEnds()
    {
        EolBench bench(Helper::Authorises);
        SetPrivilegeCheck(&Unprivileged);
        MainWindow w;
        w.show();
        DebugCapture debug;

        bool looked = false, hidden = false, polling = true, ended_early = false;
        const int code = PressEolTest(w, [&] {
            if (looked || !bench.Has("started"))
                return;
            looked = true;
            hidden = !w.isVisible();
            polling = w.upgrade_server.IsPolling();
            ended_early = bench.Has("finished");
            bench.Release();
        });

        QCOMPARE(code, 0);
        QVERIFY(looked);
        QVERIFY(hidden);
        QVERIFY(!polling);  // the program has the devices to itself
        QVERIFY(!ended_early);
        QVERIFY(bench.Has("finished"));  // the tool ended after the program, not before
        const QString pid = QString::number(QCoreApplication::applicationPid());
        const QString eol = bench.root + "/tools/eol";
        QCOMPARE(bench.Mark("helper").mid(1), (QStringList{pid, eol, "--keep-cwd", eol + "/run.sh"}));
        QCOMPARE(bench.Mark("started").mid(1), (QStringList{pid, eol}));
        QVERIFY(debug.Lines().filter("err_code").isEmpty());
        QCOMPARE(waitpid(-1, nullptr, WNOHANG), pid_t(-1));  // nothing left behind
    }

    // Already root: no helper, the program runs as the tool's own child and the tool ends as
    // soon as it has started.
    void rootStartsTheProgramDirectly()
    {
        EolBench bench(Helper::Authorises);
        SetPrivilegeCheck(&Privileged);
        MainWindow w;
        w.show();
        DebugCapture debug;

        QCOMPARE(PressEolTest(w), 0);
        QVERIFY(!bench.Has("helper"));
        QTRY_VERIFY_WITH_TIMEOUT(bench.Has("started"), kDeadlineMs);
        const QStringList started = bench.Mark("started");
        QCOMPARE(started.mid(1), (QStringList{QString::number(QCoreApplication::applicationPid()),
                                              bench.root + "/tools/eol"}));
        QVERIFY(!bench.Has("finished"));
        QVERIFY(debug.Lines().filter("err_code").isEmpty());

        bench.Release();
        int status = 0;
        QCOMPARE(waitpid(started[0].toInt(), &status, 0), pid_t(started[0].toInt()));
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), kProgramStatus);
    }

    // The application ends (the session closes) while nobody completes the authentication: the
    // wait does not hold the tool up, and the authentication ends with it.
    void applicationEndsUnderTheWait()
    {
        constexpr int kSessionEnds = 11;
        EolBench bench(Helper::NeverAnswers);
        SetPrivilegeCheck(&Unprivileged);
        MainWindow w;
        w.show();
        DebugCapture debug;

        const int code = PressEolTest(w, [&] {
            if (bench.Has("helper"))
                QCoreApplication::exit(kSessionEnds);
        });

        QCOMPARE(code, kSessionEnds);
        QCOMPARE(debug.Lines().last(), Zh("请检查路径,err_code:%1").arg(EINTR));
        const QString helper = bench.Mark("helper").value(0);
        QVERIFY(!helper.isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(!Running(helper), kDeadlineMs);
        QVERIFY(!bench.Has("started"));
    }

    // A program that could not be started with elevated rights: the console line with the
    // code, the window back where it was and working, the poll running again, nothing left.
    void handOverThatFails_data()
    {
        QTest::addColumn<Helper>("helper");
        QTest::addColumn<bool>("privileged");
        QTest::addColumn<QByteArray>("program");  // replaces the stand-in program when set
        QTest::addColumn<bool>("waited");         // the helper ran, the window went away meanwhile
        QTest::addColumn<int>("code");
        QTest::newRow("operator dismissed the authentication") << Helper::Dismissed << false << QByteArray() << true << 126;
        QTest::newRow("no polkit authority") << Helper::NoAuthority << false << QByteArray() << true << 127;
        QTest::newRow("helper killed") << Helper::Killed << false << QByteArray() << true << 128 + SIGKILL;
        QTest::newRow("no helper installed") << Helper::Missing << false << QByteArray() << false << 127;
        QTest::newRow("root, not a program") << Helper::Authorises << true << QByteArray("\x7f" "ELF garbage")
                                             << false << ENOEXEC;
    }

    void handOverThatFails()
    {
        QFETCH(Helper, helper);
        QFETCH(bool, privileged);
        QFETCH(QByteArray, program);
        QFETCH(bool, waited);
        QFETCH(int, code);
        EolBench bench(helper);
        if (!program.isEmpty())
            bench.workspace.Write("tools/eol/run.sh", program, true);
        SetPrivilegeCheck(privileged ? &Privileged : &Unprivileged);
        MainWindow w;
        w.show();
        VisibilityLog visibility;
        w.installEventFilter(&visibility);
        DebugCapture debug;
        const int descriptors = OpenDescriptors();

        QCOMPARE(PressEolTest(w), kStaysOpen);
        QVERIFY(w.isVisible());
        QCOMPARE(visibility.events,
                 waited ? (QList<QEvent::Type>{QEvent::Hide, QEvent::Show}) : QList<QEvent::Type>());
        const QStringList lines = debug.Lines();
        QCOMPARE(lines.size(), waited ? 3 : 2);
        QCOMPARE(lines.first(), QString("tools/eol/"));
        QCOMPARE(lines.last(), Zh("请检查路径,err_code:%1").arg(code));
        if (waited) {
            const QRegularExpression waiting("^Waiting for " + QRegularExpression::escape(bench.root) +
                                             "/bin/pkexec \\(pid \\d+\\) to run " +
                                             QRegularExpression::escape(bench.root) + "/tools/eol/run.sh$");
            QVERIFY2(waiting.match(lines[1]).hasMatch(), qPrintable(lines[1]));
        }
        QVERIFY(!bench.Has("started"));
        QVERIFY(w.upgrade_server.IsPolling());
        QCOMPARE(QDir::currentPath(), bench.root);
        QCOMPARE(waitpid(-1, nullptr, WNOHANG), pid_t(-1));
        // Not more: a helper let go by an earlier case may close its own meanwhile.
        QVERIFY(OpenDescriptors() <= descriptors);
    }
};

QTEST_MAIN(TestEolHandover)
#include "tst_eol_handover.moc"
