#pragma once

#include "bilingual.h"
#include "config_reader.h"
#include "firmware_entry.h"
#include "history_sync.h"
#include "job_record_keeper.h"
#include "line_guard.h"
#include "upgrade_server.h"

#include <QDir>
#include <QList>
#include <QMainWindow>
#include <QMap>
#include <QString>
#include <QTimer>

#include <memory>
#include <optional>

#include <cstdint>

class MyPushbtn;
class QCloseEvent;
struct LaunchRefusal;

namespace Ui {
class MainWindow;
}

// The operator's one window. It owns the upgrade engine and the table of firmware entries,
// wires the engine's reports and the buttons to its slots, and finds and reads the
// configuration at construction; afterwards everything happens in slots, in the GUI thread.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    // Finds its configuration in the current directory, as the operator program does beside
    // its executable.
    explicit MainWindow(QWidget *parent = nullptr);
    // Finds its configuration in config_folder instead (the demo's workspace), the process's
    // working directory left as it is.
    explicit MainWindow(const QDir &config_folder, QWidget *parent = nullptr);
    ~MainWindow() override;

    // Reads the configuration file at path into the members below and shows each problem through
    // ShowWarningMsg. True when the whole file was read and every entry was complete.
    bool LoadConfig(const QString &path);

    // Public, like the engine's job record: the launch works on them directly.
    Ui::MainWindow *form = nullptr;  // owned; the widgets themselves belong to the window
    bool config_valid = false;       // configuration found and accepted at construction
    bool check_boot_ver = false;     // read from the file, consulted by nothing
    // The keys images must be signed by, as the file last read lists them ("trusted_keys").
    std::optional<TrustedKeyList> trusted_keys;
    // The language of messages: the configuration's is_english (read again at each launch) and
    // the language switch choose it.
    Language lang = Language::English;
    UpgradeServer upgrade_server;
    JobRecordKeeper record_keeper{upgrade_server, QLatin1String(UpgradeRecord::kWindow)};  // after the engine
    // Pushes the station's records to the line's server when the configuration names one.
    std::unique_ptr<HistorySync> history_sync;
    // The line's guard, asked before each job: the file's "line_guard" (absent: none), of the
    // line's server the history's pushes go to.
    LineGuard line_guard;
    std::optional<LineGuardSettings> line_guard_settings;
    FirmwareEntries firmware_entries;
    QString config_path;             // absolute path of the configuration file
    bool has_eol_path = false;
    QString eol_path;                // the end-of-line test program
    QList<MyPushbtn *> target_buttons;  // main, motor, display, steer, pedals; not owned
    QTimer state_timer;              // 1000 ms: the activity text
    bool closing = false;            // the close is waiting for a job's end
    bool eol_held_by_job = false;    // the end-of-line button is off until the job's end

    // Display state for the life of the process.
    int32_t success_count = 0;  // consecutive successful upgrades
    uint32_t anim_step = 0;     // dots of the activity text, while a job runs
    // The language the captions were last applied in (at start-up and by the switch), mirrored
    // into the property "lang". The activity and result texts follow the screen, so a file whose
    // is_english was edited meanwhile changes the messages at the next launch but not these.
    Language texts_lang = Language::English;

public slots:
    void StartUpgrade(QString target);
    void ShowUpgradeProgress(bool is_show, float val);
    void ShowVerifyProgress(bool is_show, float val);
    // Where the job stands, on the bar its phase belongs to.
    void ShowJobProgress(const UpgradeProgress &progress);
    void StartUpgradeMain();
    void StartUpgradeMotor();
    void StartUpgradeSteer();
    void StartUpgradeDisplay();
    void StartUpgradePedals();
    void ShowWarningMsg(QString msg, bool append);
    void ShowWarningMsg(QString msg);
    void ShowUpgState();
    void OpenConfig();
    void SwitchApp();
    void MainGoApp();
    void MainGoBoot();
    void ShowUpgRes(bool res);
    // The end of a job as the engine decided it: the result line and the buttons a job holds.
    void ShowJobEnd(JobEndReason reason);
    void StopUPgrade();
    // Enables and colours the buttons of the targets whose mode the report holds.
    void UpdateSlaveState(const TargetStatusList &statuses);
    void GetOtherMsg(QString &name);
    // Shows the versions the report holds for a target as its button's tool tip.
    void GotMoreInfo(const TargetStatusList &statuses);
    void ToggleZhEn();

protected:
    // A job still running is stopped and its end waited for (and recorded) before the window goes.
    void closeEvent(QCloseEvent *event) override;

private:
    // Stops a running job as the window closes and runs the event loop until it has ended and
    // its record is written, or until kCloseWaitMs have passed. True when it ended in time.
    bool EndJobBeforeClosing();
    // Finds the configuration file in the current directory; false (warning shown) when none
    // can be used.
    bool FindConfig(const QDir &folder);
    // Follows the configuration's line server (or the environment's): a push at once when it
    // changed, nothing when it is the same.
    void FollowHistoryServer(const std::optional<QString> &configured);
    // Connections and start-up of everything that needs a valid configuration.
    void StartConfiguredParts();
    void ApplyTexts();
    void ShowRefusal(const LaunchRefusal &refusal);
};
