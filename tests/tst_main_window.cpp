// The window as the operator meets it: the three start-up outcomes with their connections, the
// language switch, the displays of the engine's reports, and the auxiliary actions.
#include "debug_capture.h"
#include "job_in_flight.h"
#include "family_suite.h"
#include "fast_family.h"
#include "main_window.h"
#include "my_pushbtn.h"
#include "sim_family.h"
#include "sim_port_catalog.h"
#include "sim_protocol.h"
#include "status_reports.h"
#include "test_workspace.h"
#include "wait_until.h"
#include "window_access.h"

#include <QDesktopServices>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QRegularExpression>
#include <QtTest>

namespace {

QByteArray Config(const QByteArray &settings)
{
    return "{" + settings + R"("firmware": {
        "Base": {"dev_id": 2, "USB_PID": [4], "series": [{"boot_ver": "1.0.0", "hw_ver": "BASE-HW-A",
                 "section_len": 4096, "path": "fw/base_a.bin", "description": "base A"}]},
        "Meter": {"dev_id": 4, "USB_PID": [4], "series": []}}})";
}

const QByteArray kEnglish = Config(R"("eol_path": "tools/eol/missing.sh", "is_english": true,)");
const QByteArray kChinese = Config(R"("is_english": false,)");
// Rejected after its settings were read: Chinese, with a visible end-of-line button.
const QByteArray kInvalid = R"({"eol_path": "tools/eol/missing.sh", "is_english": false})";

const char *const kTargets[] = {"btn_start_main", "btn_start_motor", "btn_start_display", "btn_start_steer",
                                "btn_start_pedals"};
const char *const kCaptioned[] = {"btn_start_main", "btn_start_motor", "btn_start_steer", "btn_start_display",
                                  "btn_start_pedals", "label_upgrade", "label_verify", "btn_open_config",
                                  "btn_eol_test", "btn_main_go_app", "btn_main_go_boot", "btn_stop", "btn_zh_en"};

QString Caption(MainWindow &w, const char *name)
{
    if (auto *label = w.findChild<QLabel *>(QLatin1String(name)))
        return label->text();
    return Get<QAbstractButton>(w, name)->text();
}

// Clicks a button that may be disabled in this outcome: what is tested is its connection.
void Press(MainWindow &w, const char *name)
{
    auto *button = Get<QAbstractButton>(w, name);
    button->setEnabled(true);
    QTest::mouseClick(button, Qt::LeftButton);
}

QString Zh(const char *text)
{
    return QString::fromUtf8(text);
}

}  // namespace

class UrlSink : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void Open(const QUrl &url) { urls << url; }
};

class TestMainWindow : public SimulatedFamilySuite {
    Q_OBJECT

private slots:
    void startUpOutcomes_data()
    {
        QTest::addColumn<QByteArray>("config");  // config.json; empty: none
        QTest::addColumn<bool>("valid");
        QTest::addColumn<bool>("aux_enabled");
        QTest::addColumn<bool>("eol_hidden");
        QTest::addColumn<QVariant>("lang_property");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("last_log");
        QTest::addColumn<QString>("main_caption");

        QTest::newRow("valid, English") << kEnglish << true << true << false << QVariant(false) << "" << ""
                                        << "Update\r\nBase";
        QTest::newRow("valid, Chinese, no eol_path")
            << kChinese << true << true << true << QVariant(true) << "" << "" << Zh("基座升级");
        QTest::newRow("invalid after is_english false")
            << kInvalid << false << true << false << QVariant(true) << Zh("配置文件没有\"firmware\"! 配置文件无效!")
            << Zh("配置文件无效!") << Zh("基座升级");
        QTest::newRow("no json file") << QByteArray() << false << false << false << QVariant()
                                      << "No valid configuration file!" << "No valid configuration file!"
                                      << Zh("基座升级");
    }

    void startUpOutcomes()
    {
        QFETCH(QByteArray, config);
        QFETCH(bool, valid);
        QFETCH(bool, aux_enabled);
        QFETCH(bool, eol_hidden);
        QFETCH(QVariant, lang_property);
        QFETCH(QString, error);
        QFETCH(QString, last_log);
        QFETCH(QString, main_caption);

        TestWorkspace workspace(config);
        DebugCapture debug;
        MainWindow w;

        QCOMPARE(w.config_valid, valid);
        QCOMPARE(w.windowTitle(), QString("Travendelmoor_bin_v1.2.0.11"));
        for (const char *name : kTargets)
            QVERIFY2(!Get(w, name)->isEnabled(), name);
        for (const char *name : {"btn_stop", "btn_main_go_app", "btn_main_go_boot", "btn_open_config", "btn_eol_test"})
            QCOMPARE(Get(w, name)->isEnabled(), aux_enabled);
        QCOMPARE(Get(w, "btn_eol_test")->isHidden(), eol_hidden);
        for (const char *name : {"progress_verify", "progress_upgrade", "label_verify", "label_upgrade", "lab_upging"})
            QVERIFY2(Get(w, name)->isHidden(), name);
        QCOMPARE(Get<QLabel>(w, "label_sucess_cnt")->text(), QString());
        QVERIFY(Get<QPlainTextEdit>(w, "text_log")->isReadOnly());

        // Timers, and the table the poll reads, only with a valid configuration.
        QCOMPARE(w.state_timer.isActive(), valid);
        QCOMPARE(w.upgrade_server.IsPolling(), valid);
        QCOMPARE(w.upgrade_server.Probe().Entries(), valid ? &w.firmware_entries : nullptr);
        if (valid)
            QCOMPARE(w.state_timer.interval(), 1000);

        QCOMPARE(w.property("lang"), lang_property);
        QCOMPARE(ErrorLine(w), error);
        QCOMPARE(LogLines(w).value(LogLines(w).size() - 1), last_log);  // an empty log has no last line
        QCOMPARE(Caption(w, "btn_start_main"), main_caption);
        QCOMPARE(debug.Contains(Zh("配置文件无效!")), config == kInvalid);
    }

    // What each button and engine report does in each outcome; an unconnected one does nothing.
    void connections_data()
    {
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<bool>("configured");
        QTest::newRow("valid") << kEnglish << true;
        QTest::newRow("invalid") << kInvalid << false;
        QTest::newRow("no file") << QByteArray() << false;
    }

    void connections()
    {
        QFETCH(QByteArray, config);
        QFETCH(bool, configured);
        TestWorkspace workspace(config);
        DebugCapture debug;
        MainWindow w;
        w.upgrade_server.StopPolling();  // its reports would race the checks below

        // A connected target button launches (and, with no device attached, is refused); the
        // display's button also stamps the log.
        for (const char *name : kTargets) {
            Get<QLabel>(w, "label_error")->setText("before");
            Press(w, name);
            QVERIFY2((ErrorLine(w) != "before") == configured, name);
        }
        QCOMPARE(LogLines(w).filter(Zh("开始升级:")).size(), configured ? 1 : 0);

        Press(w, "btn_stop");  // no job runs
        QCOMPARE(ErrorLine(w) == "Not upgrading!", configured);

        Get(w, "btn_start_main")->setEnabled(false);
        emit w.upgrade_server.PushTargetStatus(PollReport({{"Base", Mode::App}}));
        QCOMPARE(Get(w, "btn_start_main")->isEnabled(), configured);

        debug.Clear();
        Press(w, "btn_eol_test");
        QCOMPARE(debug.Lines().filter(Zh("请检查路径,err_code:")).size(), configured ? 1 : 0);

        // Hovers queue their target for the next poll, each name once.
        for (int i = 0; i < 3; ++i)
            Hover(w, "btn_start_main");
        Hover(w, "btn_start_display");
        QCOMPARE(w.upgrade_server.Probe().DetailRequests(), configured ? QSet<QString>({"Base", "Meter"}) : QSet<QString>());

        emit w.upgrade_server.PushTargetStatus({Detailed("Meter", AppVersion{{1, 2, 4, 3}}, QString("METER-HW-1"))});
        for (MyPushbtn *button : qAsConst(w.target_buttons)) {
            const bool display = button->objectName() == "btn_start_display";
            QCOMPARE(button->toolTip(), QString(configured && display ? "APP: 1.2.4.3\nMETER-HW-1" : ""));
        }

        // Always connected.
        UrlSink sink;
        QDesktopServices::setUrlHandler("file", &sink, "Open");
        if (w.config_path.isEmpty())
            w.config_path = "settings.json";  // none was found; the connection is what counts
        Press(w, "btn_open_config");
        QDesktopServices::unsetUrlHandler("file");
        QCOMPARE(sink.urls.size(), 1);
        QVERIFY(sink.urls[0].isLocalFile());
        QCOMPARE(sink.urls[0].toLocalFile(), QFileInfo(w.config_path).absoluteFilePath());
        const Language before = w.lang;
        Press(w, "btn_zh_en");
        QVERIFY(w.lang != before);

        // The activity timer runs the animation only with a valid configuration.
        if (configured) {
            {
                const JobInFlight job(w.upgrade_server);
                QVERIFY(job.Holding());
                QVERIFY(WaitUntil([&] { return !Get(w, "lab_upging")->isHidden(); }, 3000));
            }
            QVERIFY(WaitUntil([&] { return Get(w, "lab_upging")->isHidden(); }, 3000));
        }
    }

    void languageSwitch_data()
    {
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::newRow("from English") << kEnglish << Zh("基座升级") << "Update\r\nBase";
        QTest::newRow("from Chinese") << kChinese << "Update\r\nBase" << Zh("基座升级");
        // The form's Chinese defaults show while the flag says English: the first press changes
        // nothing visible.
        QTest::newRow("no configuration") << QByteArray() << Zh("基座升级") << "Update\r\nBase";
    }

    void languageSwitch()
    {
        QFETCH(QByteArray, config);
        QFETCH(QString, first);
        QFETCH(QString, second);
        TestWorkspace workspace(config);
        MainWindow w;
        QStringList initial;
        for (const char *name : kCaptioned)
            initial << Caption(w, name);
        w.ShowUpgRes(true);

        QTest::mouseClick(Get<QAbstractButton>(w, "btn_zh_en"), Qt::LeftButton);
        QCOMPARE(Caption(w, "btn_start_main"), first);
        QCOMPARE(Get<QLabel>(w, "label_sucess_cnt")->text(), QString());
        QCOMPARE(w.success_count, 1);
        QCOMPARE(w.property("lang").toBool(), w.lang == Language::Chinese);

        QTest::mouseClick(Get<QAbstractButton>(w, "btn_zh_en"), Qt::LeftButton);
        QCOMPARE(Caption(w, "btn_start_main"), second);
        QCOMPARE(w.windowTitle(), QString("Travendelmoor_bin_v1.2.0.11"));
        QStringList restored;
        for (const char *name : kCaptioned)
            restored << Caption(w, name);
        if (!config.isEmpty())
            QCOMPARE(restored, initial);
        if (w.lang == Language::English) {  // two-line target captions
            QCOMPARE(restored.mid(0, 5), (QStringList{"Update\r\nBase", "Update\r\nMotor", "Update\r\nSteering",
                                                       "Update\r\nDisplay", "Update\r\nPedals"}));
        }
    }

    // A launch reads the file again, and an is_english edited meanwhile words the messages from
    // then on; the captions, and the result line beside them, keep the language they were
    // applied in until the switch applies the one in force.
    void editedLanguageReachesTheMessagesBeforeTheScreen()
    {
        TestWorkspace workspace(kEnglish);
        MainWindow w;
        w.upgrade_server.StopPolling();
        workspace.Write("config.json", kChinese);

        Press(w, "btn_start_main");  // no device attached: refused, in the file's new language
        QVERIFY(w.lang == Language::Chinese);
        Press(w, "btn_stop");
        QCOMPARE(ErrorLine(w), Zh("未处于升级状态!"));
        w.ShowUpgRes(false);
        QCOMPARE(Get<QLabel>(w, "label_sucess_cnt")->text(), QString("Update failed!"));
        QCOMPARE(Caption(w, "btn_start_main"), QString("Update\r\nBase"));
        QCOMPARE(w.property("lang"), QVariant(false));

        Press(w, "btn_zh_en");  // from the language in force, Chinese: English on both
        w.ShowUpgRes(false);
        QCOMPARE(Get<QLabel>(w, "label_sucess_cnt")->text(), QString("Update failed!"));
        Press(w, "btn_stop");
        QCOMPARE(ErrorLine(w), QString("Not upgrading!"));
        Press(w, "btn_zh_en");
        w.ShowUpgRes(false);
        QCOMPARE(Get<QLabel>(w, "label_sucess_cnt")->text(), Zh("升级失败!"));
        QCOMPARE(Caption(w, "btn_start_main"), Zh("基座升级"));
        QCOMPARE(w.property("lang"), QVariant(true));
    }

    void progress_data()
    {
        QTest::addColumn<bool>("verify");
        QTest::addColumn<bool>("is_show");
        QTest::addColumn<float>("val");
        QTest::addColumn<int>("value");  // the bar starts each row shown at 42
        for (bool verify : {false, true}) {
            const char *bar = verify ? "verify" : "upgrade";
            QTest::addRow("%s: half a percent shows 0", bar) << verify << true << 0.5f << 0;
            QTest::addRow("%s: 99.9 shows 99", bar) << verify << true << 99.9f << 99;
            QTest::addRow("%s: end hides at 100", bar) << verify << false << 37.0f << 100;
            QTest::addRow("%s: out of range keeps the value", bar) << verify << true << 250.0f << 42;
            QTest::addRow("%s: not a number keeps the value", bar)
                << verify << true << std::numeric_limits<float>::quiet_NaN() << 42;
        }
    }

    void progress()
    {
        QFETCH(bool, verify);
        QFETCH(bool, is_show);
        QFETCH(float, val);
        QFETCH(int, value);
        TestWorkspace workspace;
        MainWindow w;
        auto show = verify ? &MainWindow::ShowVerifyProgress : &MainWindow::ShowUpgradeProgress;
        auto *bar = Get<QProgressBar>(w, verify ? "progress_verify" : "progress_upgrade");
        auto *caption = Get(w, verify ? "label_verify" : "label_upgrade");

        (w.*show)(true, 42.0f);
        (w.*show)(is_show, val);
        QCOMPARE(bar->isHidden(), !is_show);
        QCOMPARE(caption->isHidden(), !is_show);
        QCOMPARE(bar->value(), value);
        QVERIFY(Get(w, verify ? "progress_upgrade" : "progress_verify")->isHidden());
    }

    // The engine's one report drives both bars: each phase on its bar, the upgrade bar leaving
    // its last step for the end, the verify bar hidden once the devices go back.
    void progressOfAJob()
    {
        TestWorkspace workspace;
        MainWindow w;
        auto *upgrade = Get<QProgressBar>(w, "progress_upgrade");
        auto *verify = Get<QProgressBar>(w, "progress_verify");
        const auto report = [&](JobPhase phase, int section) {
            UpgradeProgress progress;
            progress.phase = phase;
            progress.section = section;
            progress.sections = 3;
            emit w.upgrade_server.Progress(progress);
        };
        report(JobPhase::EnteringBoot, 0);
        QVERIFY(!upgrade->isHidden());
        QCOMPARE(upgrade->value(), 0);
        report(JobPhase::Transfer, 3);
        QCOMPARE(upgrade->value(), 75);
        QVERIFY(verify->isHidden());
        report(JobPhase::FinalVerify, 2);
        QVERIFY(!verify->isHidden());
        QCOMPARE(verify->value(), 66);
        report(JobPhase::ReturningToApp, 0);
        QVERIFY(verify->isHidden());
        QVERIFY(!upgrade->isHidden());
        report(JobPhase::Ended, 0);
        QVERIFY(upgrade->isHidden());
        QCOMPARE(upgrade->value(), 100);
    }

    void warningsAndLog()
    {
        TestWorkspace workspace(kEnglish);
        MainWindow w;
        w.ShowWarningMsg("first", true);
        QCOMPARE(ErrorLine(w), QString(" first"));
        w.ShowWarningMsg("second", true);
        QCOMPARE(ErrorLine(w), QString(" first second"));
        emit w.upgrade_server.PushErrorMsg("third");
        QCOMPARE(ErrorLine(w), QString("third"));
        emit w.upgrade_server.PushLogMsg("engine line");
        QCOMPARE(LogLines(w).mid(LogLines(w).size() - 4), (QStringList{"first", "second", "third", "engine line"}));
        QCOMPARE(ErrorLine(w), QString("third"));
    }

    // A window open for a whole shift: the log pane keeps its last 5000 lines, warnings and
    // engine lines alike, oldest dropped first.
    void logKeepsItsLastLines()
    {
        TestWorkspace workspace(kEnglish);
        MainWindow w;
        w.upgrade_server.StopPolling();
        w.ShowWarningMsg("from start-up", false);
        // Every 50th line a warning, the others the engine's.
        auto line = [](int i) { return QString(i % 50 == 0 ? "warning %1" : "line %1").arg(i); };
        for (int i = 0; i < 5000 + 250; ++i) {
            if (i % 50 == 0)
                w.ShowWarningMsg(line(i), false);
            else
                emit w.upgrade_server.PushLogMsg(line(i));
        }
        const QStringList lines = LogLines(w);
        QCOMPARE(lines.size(), 5000);
        QCOMPARE(lines.first(), line(250));  // the oldest 250 and start-up's went first
        QCOMPARE(lines.last(), line(5249));
        QVERIFY(!lines.contains("from start-up"));
        // Nothing in between is lost.
        for (int i = 0; i < lines.size(); ++i)
            QCOMPARE(lines[i], line(250 + i));
    }

    // The result line follows why the engine says a job ended: after one success, a second one
    // counts on, any other end of a job that reached the devices is a failure, and a job that
    // never reached them (its image unusable, its port not opened) leaves the line as it was.
    void resultFromTheEndReason_data()
    {
        QTest::addColumn<int>("reason");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("next");  // after one more success
        QTest::newRow("success") << int(JobEndReason::Success) << "Update success: 2" << "Update success: 3";
        QTest::newRow("stopped") << int(JobEndReason::Stopped) << "Update failed!" << "Update success: 1";
        QTest::newRow("timed out") << int(JobEndReason::TimedOut) << "Update failed!" << "Update success: 1";
        QTest::newRow("link lost") << int(JobEndReason::LinkLost) << "Update failed!" << "Update success: 1";
        QTest::newRow("device silent") << int(JobEndReason::DeviceSilent) << "Update failed!" << "Update success: 1";
        QTest::newRow("device failed") << int(JobEndReason::DeviceFailed) << "Update failed!" << "Update success: 1";
        QTest::newRow("image invalid") << int(JobEndReason::ImageInvalid) << "Update success: 1" << "Update success: 2";
        QTest::newRow("port not opened") << int(JobEndReason::PortNotOpened) << "Update success: 1"
                                         << "Update success: 2";
    }

    void resultFromTheEndReason()
    {
        QFETCH(int, reason);
        QFETCH(QString, shown);
        QFETCH(QString, next);
        TestWorkspace workspace(kEnglish);
        MainWindow w;
        w.upgrade_server.StopPolling();
        auto *result = Get<QLabel>(w, "label_sucess_cnt");
        emit w.upgrade_server.JobEnded(JobEndReason::Success);
        QCOMPARE(result->text(), QString("Update success: 1"));
        emit w.upgrade_server.JobEnded(JobEndReason(reason));
        QCOMPARE(result->text(), shown);
        emit w.upgrade_server.JobEnded(JobEndReason::Success);
        QCOMPARE(result->text(), next);
    }

    // Ticks by hand: four busy ticks, one idle tick, twice (the second job starts at one dot);
    // then results: success, success, failure, success.
    void animationAndResults_data()
    {
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<QStringList>("ticks");
        QTest::addColumn<QStringList>("results");
        QTest::newRow("English") << kEnglish << QStringList{"updating.", "updating..", "updating...", "updating."}
                                 << QStringList{"Update success: 1", "Update success: 2", "Update failed!",
                                                "Update success: 1"};
        QTest::newRow("Chinese") << kChinese << Zh("升级中.|升级中..|升级中...|升级中.").split('|')
                                 << Zh("升级成功: 1|升级成功: 2|升级失败!|升级成功: 1").split('|');
    }

    void animationAndResults()
    {
        QFETCH(QByteArray, config);
        QFETCH(QStringList, ticks);
        QFETCH(QStringList, results);
        TestWorkspace workspace(config);
        MainWindow w;
        w.state_timer.stop();
        auto *label = Get<QLabel>(w, "lab_upging");
        for (int job = 0; job < 2; ++job) {
            {
                const JobInFlight held(w.upgrade_server);
                QVERIFY(held.Holding());
                for (const QString &text : ticks) {
                    w.ShowUpgState();
                    QVERIFY(!label->isHidden());
                    QCOMPARE(label->text(), text);
                }
            }
            w.ShowUpgState();
            QVERIFY(label->isHidden());
        }

        const JobEndReason outcomes[] = {JobEndReason::Success, JobEndReason::Success, JobEndReason::DeviceFailed,
                                         JobEndReason::Success};
        for (int i = 0; i < 4; ++i) {
            emit w.upgrade_server.JobEnded(outcomes[i]);
            QCOMPARE(Get<QLabel>(w, "label_sucess_cnt")->text(), results[i]);
        }
    }

    // Buttons in target order: main, motor, display, steer, pedals. Each starts enabled with a
    // style "keep" and a tool tip "tip", so an untouched one is seen as such.
    void deviceStates_data()
    {
        QTest::addColumn<QVariantMap>("states");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("base in its application, motor absent")
            << QVariantMap{{"Base", 2}, {"Motor", 0}} << QStringList{"green", "absent", "keep", "keep", "keep"};
        QTest::newRow("key in several names") << QVariantMap{{"e", 1}} << QStringList{"red", "keep", "red", "red", "red"};
        QTest::newRow("later key wins")
            << QVariantMap{{"Meter", 2}, {"e", 0}} << QStringList{"absent", "keep", "absent", "absent", "absent"};
        QTest::newRow("unknown name") << QVariantMap{{"Wheel", 0}} << QStringList{"keep", "keep", "keep", "keep", "keep"};
    }

    void deviceStates()
    {
        QFETCH(QVariantMap, states);
        QFETCH(QStringList, expected);
        TestWorkspace workspace(kEnglish);
        MainWindow w;
        w.upgrade_server.StopPolling();
        for (MyPushbtn *button : qAsConst(w.target_buttons)) {
            button->setEnabled(true);
            button->setStyleSheet("keep");
            button->setToolTip("tip");
        }
        QMap<QString, int> map;
        for (auto it = states.cbegin(); it != states.cend(); ++it)
            map[it.key()] = it.value().toInt();
        emit w.upgrade_server.PushTargetStatus(PollReport(map));

        const QMap<QString, QString> style = {
            {"keep", "keep"},
            {"absent", ""},
            {"red", kBootStyle},
            {"green", kAppStyle}};
        for (int i = 0; i < 5; ++i) {
            MyPushbtn *button = w.target_buttons[i];
            QCOMPARE(button->objectName(), QString(kTargets[i]));
            QCOMPARE(button->isEnabled(), expected[i] != "absent");
            QCOMPARE(button->toolTip(), QString(expected[i] == "absent" ? "" : "tip"));
            QCOMPARE(button->styleSheet(), style[expected[i]]);
        }
    }

    // The tool tip is the product's text made from the poll's details: "APP: " and the version as
    // shown, then a newline and the hardware text; either part missing leaves it out.
    void toolTipFromDetails_data()
    {
        QTest::addColumn<bool>("has_version");
        QTest::addColumn<bool>("has_text");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("tip");
        QTest::newRow("both") << true << true << "MOTOR-HW-A" << "APP: 3.0.0.1\nMOTOR-HW-A";
        QTest::newRow("version only") << true << false << "" << "APP: 3.0.0.1";
        QTest::newRow("text only") << false << true << "MOTOR-HW-A" << "\nMOTOR-HW-A";
        QTest::newRow("an empty text read") << true << true << "" << "APP: 3.0.0.1\n";
        QTest::newRow("nothing answered") << false << false << "" << "";
    }

    void toolTipFromDetails()
    {
        QFETCH(bool, has_version);
        QFETCH(bool, has_text);
        QFETCH(QString, text);
        QFETCH(QString, tip);
        TestWorkspace workspace(kEnglish);
        MainWindow w;
        w.upgrade_server.StopPolling();
        for (MyPushbtn *button : qAsConst(w.target_buttons))
            button->setToolTip("tip");
        std::optional<AppVersion> version;
        if (has_version)
            version = AppVersion{{3, 0, 0, 1}};
        std::optional<QString> hw;
        if (has_text)
            hw = text;
        // The report of a poll: the motor with details, the base without.
        TargetStatusList report = PollReport({{"Base", Mode::App}});
        report.append(Detailed("Motor", version, hw));
        emit w.upgrade_server.PushTargetStatus(report);
        for (MyPushbtn *button : qAsConst(w.target_buttons))
            QCOMPARE(button->toolTip(), button->objectName() == "btn_start_motor" ? tip : QString("tip"));
    }

    // The hardware query's report says nothing of the mode: the buttons stay as they are.
    void hardwareQueryLeavesTheButtons()
    {
        TestWorkspace workspace(kEnglish);
        MainWindow w;
        w.upgrade_server.StopPolling();
        for (MyPushbtn *button : qAsConst(w.target_buttons)) {
            button->setEnabled(true);
            button->setStyleSheet("keep");
            button->setToolTip("tip");
        }
        TargetStatus query;
        query.name = "Motor";
        query.dev_id = 3;
        query.ports = 1;
        query.hw_text = QString("MOTOR-HW-A");
        emit w.upgrade_server.PushTargetStatus({query});
        for (MyPushbtn *button : qAsConst(w.target_buttons)) {
            QVERIFY(button->isEnabled());
            QCOMPARE(button->styleSheet(), QString("keep"));
            QCOMPARE(button->toolTip(), QString("tip"));
        }
    }

    // A program that cannot start: its directory and the code on the console, the window open,
    // the tool's own directory still current for later launches.
    void eolTestThatCannotStart_data()
    {
        QTest::addColumn<QString>("eol_path");
        QTest::addColumn<QString>("directory");
        QTest::addColumn<int>("code");
        QTest::newRow("missing program") << "tools/eol/missing.sh" << "tools/eol/" << ENOENT;
        QTest::newRow("not executable") << "tools/eol/readme.txt" << "tools/eol/" << EACCES;
        QTest::newRow("backslashes only") << "tools\\eol\\run.sh" << "" << ENOENT;
    }

    void eolTestThatCannotStart()
    {
        QFETCH(QString, eol_path);
        QFETCH(QString, directory);
        QFETCH(int, code);
        TestWorkspace workspace(Config("\"eol_path\": \"" + eol_path.toUtf8().replace("\\", "\\\\") + "\","));
        workspace.Write("tools/eol/readme.txt", "not a program");
        MainWindow w;
        DebugCapture debug;
        QTest::mouseClick(Get<QPushButton>(w, "btn_eol_test"), Qt::LeftButton);

        QCOMPARE(debug.Lines(), (QStringList{directory, Zh("请检查路径,err_code:%1").arg(code)}));
        QCOMPARE(QDir::currentPath(), QDir(workspace.dir.path()).canonicalPath());
        QCOMPARE(ErrorLine(w), QString());
        QEventLoop loop;  // not told to quit: a fresh loop runs until asked
        QTimer::singleShot(0, &loop, [&] { loop.exit(7); });
        QCOMPARE(loop.exec(), 7);
    }

    // The base gets the request either way; polling resumes only where a configuration gives it
    // something to poll.
    void manualSwitch_data()
    {
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("payload");
        QTest::newRow("valid, go boot") << kEnglish << "btn_main_go_boot" << "Main go boot" << 4;
        QTest::newRow("invalid, go app") << kInvalid << "btn_main_go_app" << "Main go app" << 3;
    }

    void manualSwitch()
    {
        QFETCH(QByteArray, config);
        QFETCH(QString, button);
        QFETCH(QString, line);
        QFETCH(int, payload);
        SimFamily family(FastFamily());
        TestWorkspace workspace(config);
        MainWindow w;
        DebugCapture debug;
        QTest::mouseClick(Get<QPushButton>(w, qPrintable(button)), Qt::LeftButton);

        QVERIFY(debug.Contains(line));
        QVERIFY(WaitUntil([&] { return !family.Requests(SimProtocol::kBaseId).isEmpty(); }, 3000));
        const Frame request = family.Requests(SimProtocol::kBaseId).first().frame;
        QCOMPARE(int(request.command), int(SimProtocol::SwitchMode));
        QCOMPARE(int(request.length), 1);
        QCOMPARE(int(request.payload[0]), payload);
        QCOMPARE(w.upgrade_server.IsPolling(), w.config_valid);
    }

    // Every launch rereads the file: a file broken since start-up refuses it with both warnings.
    void launchReloadsTheConfiguration()
    {
        TestWorkspace workspace(kEnglish);
        MainWindow w;
        w.upgrade_server.StopPolling();
        for (MyPushbtn *button : qAsConst(w.target_buttons))
            button->setEnabled(true);

        const QRegularExpression stamp(Zh("^开始升级:\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d$"));
        QTest::mouseClick(Get<QPushButton>(w, "btn_start_display"), Qt::LeftButton);
        QCOMPARE(LogLines(w).filter(stamp).size(), 1);
        w.StartUpgradeDisplay();  // not from its button: no stamp
        QCOMPARE(LogLines(w).filter(stamp).size(), 1);
        const int lines = LogLines(w).size();

        workspace.Write("config.json", "{\"firmware\": ");
        QTest::mouseClick(Get<QPushButton>(w, "btn_start_motor"), Qt::LeftButton);
        QCOMPARE(ErrorLine(w), QString("The configuration file parsing error! The configuration file is invalid!"));
        QCOMPARE(LogLines(w).mid(lines),
                 (QStringList{"The configuration file parsing error!", "The configuration file is invalid!"}));
    }

};

QTEST_MAIN(TestMainWindow)
#include "tst_main_window.moc"
