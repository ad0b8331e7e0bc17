// The window readable in both languages: every text it shows fits its widget in the font the
// window chooses, with glyphs for every character, and a warning of several lines stays readable
// in the one-line error label.
#include "job_in_flight.h"
#include "error_line_view.h"
#include "main_window.h"
#include "my_pushbtn.h"
#include "sim_port_catalog.h"
#include "status_reports.h"
#include "test_workspace.h"
#include "window_access.h"

#include <QFontInfo>
#include <QFontMetrics>
#include <QHelpEvent>
#include <QLabel>
#include <QPushButton>
#include <QStyleOptionButton>
#include <QToolTip>
#include <QtTest>

namespace {

QByteArray Config(bool english)
{
    return QByteArray(R"({"eol_path": "eol.sh", "is_english": )") + (english ? "true" : "false") + R"(,
        "firmware": {"Base": {"dev_id": 2, "USB_PID": [4], "series": []}}})";
}

const char kFontFamily[] = "Noto Sans CJK SC";

// The room a widget leaves its text: a button inside its frame and the style's margin, a label
// inside its contents rectangle.
QRect TextRoom(QWidget *widget)
{
    if (auto *button = qobject_cast<QPushButton *>(widget)) {
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        if (button->autoDefault())
            option.features |= QStyleOptionButton::AutoDefaultButton;
        const QRect contents = button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
        const int margin = button->style()->pixelMetric(QStyle::PM_ButtonMargin, &option, button);
        return contents.adjusted(margin / 2, 0, -(margin - margin / 2), 0);
    }
    return qobject_cast<QLabel *>(widget)->contentsRect();
}

// The widest line and the height from the first line's top to the last line's ink.
QSize TextExtent(const QFont &font, const QString &text)
{
    const QFontMetrics metrics(font);
    const QStringList lines = text.split(QLatin1Char('\n'));
    int width = 0;
    int ink = 0;
    for (QString line : lines) {
        line.remove(QLatin1Char('\r'));
        width = qMax(width, metrics.horizontalAdvance(line));
        ink = qMax(ink, metrics.tightBoundingRect(line).height());
    }
    return QSize(width, (lines.size() - 1) * metrics.lineSpacing() + ink);
}

QString WidgetText(QWidget *widget)
{
    if (auto *button = qobject_cast<QAbstractButton *>(widget))
        return button->text();
    return qobject_cast<QLabel *>(widget)->text();
}

// Every text the widget shows in the window's current language, produced by the window itself.
QStringList ShownTexts(MainWindow &w, QWidget *widget)
{
    QStringList texts;
    if (widget->objectName() == QLatin1String("label_sucess_cnt")) {
        w.success_count = 998;
        emit w.upgrade_server.JobEnded(JobEndReason::Success);
        texts << WidgetText(widget);
        emit w.upgrade_server.JobEnded(JobEndReason::DeviceFailed);
        texts << WidgetText(widget);
    } else if (widget->objectName() == QLatin1String("lab_upging")) {
        const JobInFlight held(w.upgrade_server);
        for (int tick = 0; tick < 3; ++tick) {
            w.ShowUpgState();
            texts << WidgetText(widget);
        }
    } else {
        texts << WidgetText(widget);
    }
    return texts;
}

// Every target reported in the given mode, as the status poll does: 0 absent, 1 bootloader, 2
// application.
void ReportAll(MainWindow &w, int mode)
{
    QMap<QString, int> states;
    for (const char *name : {"Base", "Motor", "Steering", "Meter", "Pedals"})
        states[QLatin1String(name)] = mode;
    emit w.upgrade_server.PushTargetStatus(PollReport(states));
}

}  // namespace

class TestWindowFit : public QObject {
    Q_OBJECT

private slots:
    // The status poll must see the simulated family only, never the machine's own ports.
    void initTestCase() { SimPortCatalog::Install(); }
    void cleanupTestCase() { SimPortCatalog::Uninstall(); }

    void textsFit_data()
    {
        QTest::addColumn<bool>("english");
        QTest::addColumn<QString>("widget");
        const char *const widgets[] = {"btn_start_main", "btn_start_motor", "btn_start_steer", "btn_start_display",
                                       "btn_start_pedals", "label_upgrade", "label_verify", "btn_open_config",
                                       "btn_eol_test", "btn_main_go_app", "btn_main_go_boot", "btn_stop",
                                       "btn_zh_en", "label_sucess_cnt", "lab_upging"};
        for (bool english : {true, false}) {
            for (const char *widget : widgets)
                QTest::addRow("%s %s", english ? "en" : "zh", widget) << english << QString(widget);
        }
    }

    // Target buttons are measured as the status poll leaves them: plain, green and red, each
    // style set twice, since setting a style sheet again re-polishes the button.
    void textsFit()
    {
        QFETCH(bool, english);
        QFETCH(QString, widget);
        TestWorkspace workspace(Config(english));
        MainWindow w;
        w.state_timer.stop();
        w.upgrade_server.StopPolling();
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QWidget *shown = Get(w, widget.toLatin1().constData());

        for (const QString &text : ShownTexts(w, shown)) {
            for (int mode : {0, 2, 2, 1, 1}) {
                ReportAll(w, mode);
                const QString where = QStringLiteral("\"%1\" (status %2)").arg(text).arg(mode);
                QVERIFY2(QFontInfo(shown->font()).family() == QLatin1String(kFontFamily),
                         qPrintable(where + QStringLiteral(": drawn in ") + QFontInfo(shown->font()).family() +
                                    QStringLiteral(", not ") + kFontFamily + QStringLiteral(" (fonts-noto-cjk)")));
                const QFontMetrics metrics(shown->font());
                for (const QChar c : text) {
                    if (c != QLatin1Char('\r') && c != QLatin1Char('\n'))
                        QVERIFY2(metrics.inFont(c), qPrintable(where + QStringLiteral(": no glyph for ") + c));
                }
                const QSize extent = TextExtent(shown->font(), text);
                const QRect room = TextRoom(shown);
                QVERIFY2(extent.width() <= room.width(),
                         qPrintable(where + QStringLiteral(": %1 px wide, room %2").arg(extent.width()).arg(room.width())));
                QVERIFY2(extent.height() <= room.height(),
                         qPrintable(where + QStringLiteral(": %1 px high, room %2").arg(extent.height()).arg(room.height())));
            }
        }
        if (widget == QLatin1String("label_sucess_cnt"))
            QVERIFY(ShownTexts(w, shown).first().endsWith(QLatin1String("999")));
    }

    void errorLine_data()
    {
        QTest::addColumn<QString>("warning");
        QTest::addColumn<QString>("line");  // the one line shown; empty: cut short with an ellipsis
        QTest::newRow("one line") << "Not upgrading!" << "Not upgrading!";
        QTest::newRow("two engine lines") << "Flash verify failed 4 times, upgrade again!\nTarget go app failed\n"
                                          << "Flash verify failed 4 times, upgrade again! | Target go app failed";
        QTest::newRow("Chinese, CR LF") << QString::fromUtf8("配置文件没有\"firmware\"!\r\n配置文件无效!")
                                        << QString::fromUtf8("配置文件没有\"firmware\"! | 配置文件无效!");
        QTest::newRow("three long lines")
            << "Flash verify failed 4 times, upgrade again!\nMain go app failed\nTarget connect lost after upgrade.\n"
            << "";
    }

    // The label keeps the text as written; it shows it on one line clear of the language button,
    // as a plain label with that line would look, and its tool tip holds every line.
    void errorLine()
    {
        QFETCH(QString, warning);
        QFETCH(QString, line);
        TestWorkspace workspace(Config(true));
        MainWindow w;
        w.state_timer.stop();
        w.upgrade_server.StopPolling();
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        emit w.upgrade_server.PushErrorMsg(warning);

        auto *label = Get<QLabel>(w, "label_error");
        QCOMPARE(label->text(), warning);
        const QString log = LogLines(w).join('\n');
        for (const QString &part : warning.split('\n', Qt::SkipEmptyParts))
            QVERIFY2(log.contains(part.trimmed()), qPrintable(part));

        auto *view = label->findChild<ErrorLineView *>();
        QVERIFY(view);
        const QString shown = view->ShownText();
        if (line.isEmpty()) {
            QVERIFY2(shown.endsWith(QChar(0x2026)), qPrintable(shown));
            QVERIFY(ErrorLineView::OneLine(warning).startsWith(shown.chopped(1)));
        } else {
            QCOMPARE(shown, line);
        }
        // Centred in the label, the shown line stays clear of the language button above it.
        const int width = QFontMetrics(label->font()).horizontalAdvance(shown);
        const QRect drawn(label->geometry().center().x() - width / 2, label->y(), width, label->height());
        QVERIFY2(!drawn.intersects(Get(w, "btn_zh_en")->geometry()), qPrintable(shown));

        QLabel plain(label->parentWidget());
        plain.setAlignment(label->alignment());
        plain.resize(label->size());
        plain.setText(shown);
        plain.show();
        QCOMPARE(label->grab().toImage(), plain.grab().toImage());

        QHelpEvent hover(QEvent::ToolTip, label->rect().center(), label->mapToGlobal(label->rect().center()));
        QCoreApplication::sendEvent(label, &hover);
        QCOMPARE(QToolTip::text(), warning);
        QToolTip::hideText();
    }
};

QTEST_MAIN(TestWindowFit)
#include "tst_window_fit.moc"
