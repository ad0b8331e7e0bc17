// The family table: each role's numbers as the devices need them, the targets in the window's
// order, and the lookups the engine, the launch, the window and the command read them through.
#include "device_family.h"

#include <QFile>
#include <QRegularExpression>
#include <QtTest>

namespace {

// A file of the source tree, as the package installs it.
QString ReadSource(const QString &relative)
{
    QFile file(QStringLiteral(UPGRADER_SOURCE_DIR "/") + relative);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll());
}

// The arguments of a roff request line after its name: words, or quoted strings in which "" is a
// quote; \- is a plain hyphen.
QStringList RoffArguments(const QString &line)
{
    QStringList arguments;
    int i = line.indexOf(QLatin1Char(' '));
    while (i >= 0 && i < line.size()) {
        while (i < line.size() && line[i] == QLatin1Char(' '))
            ++i;
        if (i >= line.size())
            break;
        QString argument;
        if (line[i] == QLatin1Char('"')) {
            for (++i; i < line.size(); ++i) {
                if (line[i] == QLatin1Char('"')) {
                    if (i + 1 < line.size() && line[i + 1] == QLatin1Char('"')) {
                        argument += QLatin1Char('"');
                        ++i;
                        continue;
                    }
                    ++i;
                    break;
                }
                argument += line[i];
            }
        } else {
            while (i < line.size() && line[i] != QLatin1Char(' '))
                argument += line[i++];
        }
        arguments << argument.replace(QStringLiteral("\\-"), QStringLiteral("-"));
    }
    return arguments;
}

}  // namespace

class TestDeviceFamily : public QObject {
    Q_OBJECT

private slots:
    // Every number and flag of every role: a row rewritten (or a field left out of it) must not
    // change what a device is sent or how long it is waited for.
    void roleValues_data()
    {
        QTest::addColumn<int>("dev_id");
        QTest::addColumn<QString>("role");
        QTest::addColumn<QList<int>>("pacing");  // pass ticks, streaming pass ticks, bytes a pass
        QTest::addColumn<int>("max_data_chunk");
        QTest::addColumn<bool>("chunk_fits_escaped");
        QTest::addColumn<bool>("raw_sections");
        QTest::addColumn<bool>("behind_base");
        QTest::addColumn<bool>("one_request_hw");
        QTest::addColumn<QList<bool>>("job_rules");  // upgradable, sends the motor off, may be the display
        QTest::addColumn<QList<int>>("waits");  // hw query, verify, boot settle, after flag, target check
        QTest::addColumn<uint>("restart_from");

        QTest::newRow("plain target") << 1 << "target" << QList<int>{2, 1, 128} << 62 << false << false << true
                                      << false << QList<bool>{false, false, false} << QList<int>{40, 10, 1000, 0, 0}
                                      << 0u;
        QTest::newRow("base") << 2 << "base" << QList<int>{2, 1, 128} << 62 << false << false << false << false
                              << QList<bool>{true, false, false} << QList<int>{40, 10, 1000, 0, 0} << 0u;
        QTest::newRow("motor") << 3 << "motor" << QList<int>{8, 5, 128} << 62 << false << true << false << true
                               << QList<bool>{true, false, false} << QList<int>{40, 8, 1000, 0, 0} << 0u;
        QTest::newRow("display") << 4 << "display" << QList<int>{2, 1, 128} << 62 << false << false << true << false
                                 << QList<bool>{true, false, false} << QList<int>{40, 10, 1000, 4000, 0}
                                 << 0xC0232800u;
        QTest::newRow("slow bus") << 5 << "slow bus" << QList<int>{10, 10, 30} << 23 << true << false << true
                                  << false << QList<bool>{true, true, true} << QList<int>{60, 10, 2000, 0, 2000}
                                  << 0u;
    }

    void roleValues()
    {
        QFETCH(int, dev_id);
        const DeviceRole &role = RoleOf(dev_id);
        QCOMPARE(role.dev_id, dev_id);
        QTEST(QString::fromLatin1(role.role), "role");
        QTEST((QList<int>{role.pacing.pass_ticks, role.pacing.streaming_pass_ticks, role.pacing.max_bytes_per_pass}),
              "pacing");
        QTEST(role.max_data_chunk, "max_data_chunk");
        QTEST(role.chunk_fits_escaped, "chunk_fits_escaped");
        QTEST(role.raw_sections, "raw_sections");
        QTEST(role.behind_base, "behind_base");
        QTEST(role.one_request_hw, "one_request_hw");
        QTEST((QList<bool>{role.upgradable, role.sends_motor_off_bus, role.may_be_swapped_display}), "job_rules");
        QTEST((QList<int>{role.hw_query_timeout_ms, role.verify_wait_ms, role.boot_settle_ms, role.after_flag_extra_ms,
                          role.target_check_delay_ms}),
              "waits");
        QTEST(uint(role.restart_from), "restart_from");
    }

    // The roles in id order, one each; an id without a role is paced and framed as a plain target.
    void rolesCoverTheFamily()
    {
        QList<int> ids;
        for (const DeviceRole &role : DeviceRoles())
            ids << role.dev_id;
        QCOMPARE(ids, (QList<int>{1, 2, 3, 4, 5}));
        for (int stranger : {0, 6, 15, -1})
            QCOMPARE(RoleOf(stranger).dev_id, 1);
    }

    // The questions asked of an id instead of comparing it: only the family's ids are devices, the
    // base to the slow bus are upgraded, and each named role answers for its own id alone.
    void idQuestions_data()
    {
        QTest::addColumn<int>("dev_id");
        QTest::addColumn<QList<bool>>("answers");  // family device, upgradable, base, motor, display
        QTest::newRow("0") << 0 << QList<bool>{false, false, false, false, false};
        QTest::newRow("plain target") << 1 << QList<bool>{true, false, false, false, false};
        QTest::newRow("base") << 2 << QList<bool>{true, true, true, false, false};
        QTest::newRow("motor") << 3 << QList<bool>{true, true, false, true, false};
        QTest::newRow("display") << 4 << QList<bool>{true, true, false, false, true};
        QTest::newRow("slow bus") << 5 << QList<bool>{true, true, false, false, false};
        QTest::newRow("6") << 6 << QList<bool>{false, false, false, false, false};
        // A frame keeps only the low four bits of an id: 258 would reach the base, yet is no device.
        QTest::newRow("258") << 258 << QList<bool>{false, false, false, false, false};
        QTest::newRow("-2") << -2 << QList<bool>{false, false, false, false, false};
    }

    void idQuestions()
    {
        QFETCH(int, dev_id);
        QTEST((QList<bool>{IsFamilyDevice(dev_id), IsUpgradable(dev_id), IsBase(dev_id), IsMotor(dev_id),
                           IsDisplay(dev_id)}),
              "answers");
    }

    void upgradableIds()
    {
        QCOMPARE(UpgradableIds(), (std::vector<int>{2, 3, 4, 5}));
    }

    // The base's hardware text, alone or after the target's, names the model anywhere in it.
    void baseKeepsMotorOffBus_data()
    {
        QTest::addColumn<QString>("hw_text");
        QTest::addColumn<bool>("keeps");
        QTest::newRow("first of the list") << "V42D" << true;
        QTest::newRow("after the target's text") << "STEER-HW-AKT47-P06-HW ZR-LN" << true;
        QTest::newRow("inside a longer text") << "BASE R58 rev 2" << true;
        QTest::newRow("last of the list") << "T26" << true;
        QTest::newRow("another model") << "BASE-HW-A" << false;
        QTest::newRow("letter case matters") << "v42d" << false;
        QTest::newRow("nothing read") << "" << false;
    }

    void baseKeepsMotorOffBus()
    {
        QFETCH(QString, hw_text);
        QTEST(BaseKeepsMotorOffBus(hw_text), "keeps");
    }

    // The targets in the window's order, their usual device ids and the mode queries a poll makes.
    void targetFacts()
    {
        QStringList names;
        QList<int> ids, tries;
        for (const TargetFacts &target : Targets()) {
            names << QString::fromLatin1(target.name);
            ids << target.dev_id;
            tries << target.poll_tries;
        }
        QCOMPARE(names, (QStringList{"Base", "Motor", "Steering", "Meter", "Pedals"}));
        QCOMPARE(TargetNames(), names);
        QCOMPARE(ids, (QList<int>{2, 3, 5, 4, 5}));
        QCOMPARE(tries, (QList<int>{1, 1, 3, 3, 1}));
    }

    // Names match exactly, as the configuration's keys do; a name outside the family is polled once.
    void targetLookup()
    {
        QVERIFY(TargetNamed("Meter"));
        QCOMPARE(TargetNamed("Meter")->dev_id, 4);
        QCOMPARE(TargetNamed("meter"), nullptr);
        QCOMPARE(TargetNamed(QString()), nullptr);
        QCOMPARE(PollTries("Steering"), 3);
        QCOMPARE(PollTries("Wheel"), 1);
    }

    // The command's bash completion offers the family's targets, in the family's order: a target
    // renamed or added in the table and not there fails here.
    void completionListsTheTargets()
    {
        const QString script = ReadSource(QStringLiteral("packaging/bash-completion/upgrader-cli"));
        QVERIFY2(!script.isEmpty(), "the bash completion could not be read");
        const QRegularExpressionMatch list =
            QRegularExpression(QStringLiteral("\\blocal targets=\"([^\"]*)\"")).match(script);
        QVERIFY2(list.hasMatch(), "the bash completion has no list of targets");
        QCOMPARE(list.captured(1).split(QLatin1Char(' '), Qt::SkipEmptyParts), TargetNames());
    }

    // The command's manual names every target where it says what TARGET may be: the bold words of
    // the .BR line after "is one of" (the roman ones between them are the separators).
    void manualListsTheTargets()
    {
        const QString manual = ReadSource(QStringLiteral("packaging/man/upgrader-cli.1"));
        QVERIFY2(!manual.isEmpty(), "the command's manual could not be read");
        const QStringList lines = manual.split(QLatin1Char('\n'));
        const int said = lines.indexOf(QStringLiteral("is one of"));
        QVERIFY2(said > 0 && lines[said - 1] == QLatin1String(".I TARGET"), "the manual does not say what TARGET is");
        QVERIFY2(said + 1 < lines.size() && lines[said + 1].startsWith(QLatin1String(".BR ")),
                 "the targets do not follow \"is one of\" on a .BR line");
        const QStringList arguments = RoffArguments(lines[said + 1]);
        QStringList bold;
        for (int i = 0; i < arguments.size(); i += 2)
            bold << arguments[i];
        QCOMPARE(bold, TargetNames());
    }
};

QTEST_GUILESS_MAIN(TestDeviceFamily)
#include "tst_device_family.moc"
