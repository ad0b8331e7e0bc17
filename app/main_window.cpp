// Construction of the window: form, start-up state, the connection table, the configuration,
// and the language of the captions.
#include "main_window.h"

#include "config_discovery.h"
#include "config_reader.h"
#include "device_family.h"
#include "error_line_view.h"
#include "history_server.h"
#include "history_store.h"
#include "my_pushbtn.h"
#include "ui_main_window.h"
#include "window_font.h"
#include "window_log.h"
#include "window_texts.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>

#include <iterator>

namespace {

const char kTitle[] = "Travendelmoor_bin_v1.2.0.11";
constexpr int kStateIntervalMs = 1000;
// The log pane keeps this many of its last lines: a window open for a whole shift sees hundreds
// of jobs, and an unbounded pane would grow without end and slow every append.
constexpr int kLogLines = 5000;
// A stopped job ends after its current pass and the return of the unit to its application:
// seconds at most. Far longer means the job is stuck, and the window must still close.
constexpr int kCloseWaitMs = 15000;
// The wait for the job's end wakes at least this often to look at the clock.
constexpr int kCloseWakeMs = 20;

// The window's side of each target of the family, in the family's order (Targets()): its button
// on the form and the slot a click on it calls.
struct TargetControl {
    MyPushbtn *Ui::MainWindow::*button;
    void (MainWindow::*start)();
};
const TargetControl kTargetControls[] = {
    {&Ui::MainWindow::btn_start_main, &MainWindow::StartUpgradeMain},
    {&Ui::MainWindow::btn_start_motor, &MainWindow::StartUpgradeMotor},
    {&Ui::MainWindow::btn_start_steer, &MainWindow::StartUpgradeSteer},
    {&Ui::MainWindow::btn_start_display, &MainWindow::StartUpgradeDisplay},
    {&Ui::MainWindow::btn_start_pedals, &MainWindow::StartUpgradePedals},
};

}  // namespace

MainWindow::MainWindow(QWidget *parent) : MainWindow(QDir::current(), parent) {}

MainWindow::MainWindow(const QDir &config_folder, QWidget *parent)
    : QMainWindow(parent)
    , form(new Ui::MainWindow)
{
    // The form's fixed geometry needs a font chosen for it, in both languages; the desktop's
    // default is wider and may have no Chinese glyphs. Set for the whole application, not only
    // this window: a button whose style sheet is set again (every status poll) falls back to the
    // application's font, and the tool tips use it too.
    QApplication::setFont(WindowFont());
    form->setupUi(this);
    // A warning of several lines stays readable in the one-line error label.
    new ErrorLineView(form->label_error, form->btn_zh_en);

    // Progress and activity appear only with the first report of a job.
    form->progress_verify->hide();
    form->progress_upgrade->hide();
    form->label_verify->hide();
    form->label_upgrade->hide();
    form->lab_upging->hide();

    // Target buttons wait for the status poll to report their device.
    Q_ASSERT(Targets().size() == std::size(kTargetControls));
    for (const TargetControl &control : kTargetControls)
        (form->*control.button)->setEnabled(false);

    // The order reports are matched in, which is not the family's.
    target_buttons = {form->btn_start_main, form->btn_start_motor, form->btn_start_display,
                      form->btn_start_steer, form->btn_start_pedals};

    setWindowTitle(QString::fromUtf8(kTitle));
    form->label_sucess_cnt->setText(QString());

    form->text_log->setVerticalScrollBar(form->verticalScrollBar);
    form->text_log->setReadOnly(true);
    form->text_log->setMaximumBlockCount(kLogLines);

    // Always present, whatever the configuration (rows 1 to 9).
    connect(&upgrade_server, &UpgradeServer::Progress, this, &MainWindow::ShowJobProgress);
    connect(&upgrade_server, &UpgradeServer::PushErrorMsg, this, qOverload<QString>(&MainWindow::ShowWarningMsg));
    connect(&upgrade_server, &UpgradeServer::PushLogMsg, form->text_log, &QPlainTextEdit::appendPlainText);
    // The result comes from why the job ended, reported after every other report of the job.
    connect(&upgrade_server, &UpgradeServer::JobEnded, this, &MainWindow::ShowJobEnd);
    // A history that cannot be written is the console's business, never the operator's result.
    connect(&record_keeper, &JobRecordKeeper::Recorded, this, [this](const UpgradeRecord &, const QString &warning) {
        if (!warning.isEmpty())
            qCWarning(lcWindow).noquote() << warning;
        if (history_sync)
            history_sync->Kick();
    });
    connect(form->btn_open_config, &QPushButton::clicked, this, &MainWindow::OpenConfig);
    connect(form->btn_main_go_app, &QPushButton::clicked, this, &MainWindow::MainGoApp);
    connect(form->btn_main_go_boot, &QPushButton::clicked, this, &MainWindow::MainGoBoot);
    connect(form->btn_zh_en, &QPushButton::clicked, this, &MainWindow::ToggleZhEn);

    if (!FindConfig(config_folder)) {
        // Nothing to work with for the whole run: only the language button stays useful. The
        // form's Chinese captions stay and the property "lang" stays unset.
        form->btn_stop->setEnabled(false);
        form->btn_main_go_app->setEnabled(false);
        form->btn_main_go_boot->setEnabled(false);
        form->btn_eol_test->setEnabled(false);
        form->btn_open_config->setEnabled(false);
        return;
    }

    if (LoadConfig(config_path)) {
        config_valid = true;
        StartConfiguredParts();
    } else {
        config_valid = false;
        qCWarning(lcWindow).noquote() << QString::fromUtf8(WindowTexts::kConfigInvalid.zh);
        // After the parser's own, more precise warning.
        ShowWarningMsg(WindowTexts::kConfigInvalid.In(lang), true);
    }

    if (!has_eol_path)
        form->btn_eol_test->hide();
    ApplyTexts();
}

void MainWindow::StartConfiguredParts()
{
    connect(form->btn_stop, &QPushButton::clicked, this, &MainWindow::StopUPgrade);
    // The status poll emits in this thread: direct calls, the tool tips before the colours.
    connect(&upgrade_server, &UpgradeServer::PushTargetStatus, this, &MainWindow::GotMoreInfo);
    connect(&upgrade_server, &UpgradeServer::PushTargetStatus, this, &MainWindow::UpdateSlaveState);

    upgrade_server.SetFirmwareEntries(&firmware_entries);
    upgrade_server.StartPolling();

    connect(&state_timer, &QTimer::timeout, this, &MainWindow::ShowUpgState);
    state_timer.start(kStateIntervalMs);

    connect(form->btn_eol_test, &QPushButton::clicked, this, &MainWindow::SwitchApp);

    // One button per target of the family: it carries the target's name, launches it and asks
    // for its versions when the pointer enters it.
    for (size_t i = 0; i < Targets().size(); ++i) {
        MyPushbtn *button = form->*kTargetControls[i].button;
        button->target_name = QLatin1String(Targets()[i].name);
        connect(button, &QPushButton::clicked, this, kTargetControls[i].start);
        connect(button, &MyPushbtn::EnterNotify, this, &MainWindow::GetOtherMsg);
    }
}

MainWindow::~MainWindow()
{
    // Also when the window goes without a close (the application told to quit): the record
    // keeper is destroyed before the engine, so the job's end must arrive now or never.
    EndJobBeforeClosing();
    state_timer.stop();
    // The engine is destroyed after the table it points to; it must not poll in between. Its
    // own destructor then stops a running job and waits for the job's thread.
    upgrade_server.StopPolling();
    upgrade_server.SetFirmwareEntries(nullptr);
    delete form;
    form = nullptr;
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (closing) {
        event->ignore();  // a second close while the first still waits for the job
        return;
    }
    EndJobBeforeClosing();
    QMainWindow::closeEvent(event);
}

bool MainWindow::EndJobBeforeClosing()
{
    auto ended = [this] { return !upgrade_server.isRunning() && record_keeper.Idle(); };
    record_keeper.FinishReading();  // a unit still on its way back is not waited for
    if (ended())
        return true;
    closing = true;
    upgrade_server.Stop(StopKind::Closing);  // false when it was stopping already: wait all the same
    // Nothing more may start, and the operator cannot press anything while the job ends; the
    // tick timer and the job's queued reports still need this thread's events.
    state_timer.stop();
    upgrade_server.StopPolling();
    setEnabled(false);
    QTimer wake;
    wake.start(kCloseWakeMs);
    QElapsedTimer waited;
    waited.start();
    while (!ended() && waited.elapsed() < kCloseWaitMs)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    setEnabled(true);
    closing = false;
    if (ended())
        return true;
    qCWarning(lcWindow).noquote() << QStringLiteral("The job did not end within %1 s of closing the window; it is not recorded")
                                         .arg(kCloseWaitMs / 1000);
    return false;
}

bool MainWindow::FindConfig(const QDir &folder)
{
    const ConfigDiscovery found = DiscoverConfig(folder);
    for (const QString &line : found.debug_lines)
        qCInfo(lcWindow).noquote() << line;
    if (found.failure) {
        qCWarning(lcWindow).noquote() << found.failure->debug_line;
        // No file has been read yet, so this speaks the start-up language.
        ShowWarningMsg(found.failure->Warning(lang), false);
        return false;
    }
    config_path = found.path;
    return true;
}

bool MainWindow::LoadConfig(const QString &path)
{
    const ConfigRead read = ReadConfig(path);

    // Settings first: a failure further on speaks the language this file selects.
    if (read.settings.eol_path) {
        eol_path = *read.settings.eol_path;
        has_eol_path = true;
    }
    if (read.settings.is_english)
        lang = *read.settings.is_english ? Language::English : Language::Chinese;
    if (read.settings.check_boot_ver)
        check_boot_ver = *read.settings.check_boot_ver;
    FollowHistoryServer(read.settings.history_server);
    // The trust follows the file as it stands: a list taken out trusts nothing any more.
    trusted_keys = read.settings.trusted_keys;
    line_guard_settings = read.settings.line_guard;

    // The engine reads this table through its pointer, so it is refilled in place.
    if (read.firmware_read)
        firmware_entries = read.entries;

    if (read.failure) {
        qCWarning(lcWindow).noquote() << read.failure->debug_line;
        ShowWarningMsg(read.failure->Warning(lang), false);
        return false;
    }
    return true;
}

void MainWindow::FollowHistoryServer(const std::optional<QString> &configured)
{
    const QString server = HistoryServer::Configured(configured.value_or(QString()));
    const QString database = HistoryStore::Location(config_path);
    if (server.isEmpty()) {
        history_sync.reset();
        return;
    }
    if (history_sync && history_sync->Server() == server && history_sync->Database() == database)
        return;
    history_sync = std::make_unique<HistorySync>(database, server);
    // Like the history itself, the line's server is the console's business: one line when it
    // cannot be reached (not one per retry), one when it is reached again.
    connect(history_sync.get(), &HistorySync::Pushed, this,
            [](qint64 sent, qint64 waiting, const QString &warning, bool news) {
                if (news && !warning.isEmpty())
                    qCWarning(lcWindow).noquote() << warning;
                else if (news)
                    qCInfo(lcWindow).noquote() << "Upgrade history: the line's server holds every record";
                else if (sent > 0)
                    qCInfo(lcWindow).noquote()
                        << QStringLiteral("Upgrade history: %1 sent to the line's server, %2 waiting").arg(sent).arg(waiting);
            });
    history_sync->Kick();
}

void MainWindow::ApplyTexts()
{
    texts_lang = lang;
    setProperty("lang", texts_lang == Language::Chinese);
    for (const Caption &caption : WindowTexts::kCaptions) {
        QWidget *widget = findChild<QWidget *>(QLatin1String(caption.object_name));
        const QString text = caption.text.In(texts_lang);
        if (auto *button = qobject_cast<QAbstractButton *>(widget))
            button->setText(text);
        else if (auto *label = qobject_cast<QLabel *>(widget))
            label->setText(text);
    }
}

void MainWindow::ToggleZhEn()
{
    lang = lang == Language::Chinese ? Language::English : Language::Chinese;
    ApplyTexts();
    form->label_sucess_cnt->setText(QString());
}
