// The configuration file: discovery, the reader's rules and failures, and how the window takes
// them over (language of the warnings, partial fill, settings kept).
#include "config_discovery.h"
#include "config_reader.h"
#include "debug_capture.h"
#include "main_window.h"
#include "with_deadline.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

// A directory of real files, made the current directory for as long as it lives.
struct Workspace {
    QTemporaryDir dir;
    QString previous = QDir::currentPath();

    explicit Workspace(const QMap<QString, QByteArray> &files = {})
    {
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            Write(it.key(), it.value());
        QDir::setCurrent(dir.path());
    }
    ~Workspace() { QDir::setCurrent(previous); }

    QString Path(const QString &name) const { return QDir(dir.path()).filePath(name); }
    void Write(const QString &name, const QByteArray &bytes) const
    {
        QDir().mkpath(QFileInfo(Path(name)).path());
        QFile file(Path(name));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
    }
};

// An environment variable set for as long as this lives, then put back.
struct ScopedVariable {
    QByteArray name;
    bool had;
    QByteArray previous;

    ScopedVariable(const char *variable, const QString &value)
        : name(variable), had(qEnvironmentVariableIsSet(variable)), previous(qgetenv(variable))
    {
        qputenv(variable, QFile::encodeName(value));
    }
    ~ScopedVariable()
    {
        if (had)
            qputenv(name.constData(), previous);
        else
            qunsetenv(name.constData());
    }
};

const QByteArray kSeries =
    R"({"boot_ver": "1.0.0", "hw_ver": "HW-A", "section_len": 4096, "path": "fw/a.bin", "description": "A"})";

QByteArray Entry(int dev_id)
{
    return R"({"dev_id": )" + QByteArray::number(dev_id) + R"(, "USB_PID": [4, 5], "series": [)" + kSeries + "]}";
}

QString Utf8(const char *text)
{
    return QString::fromUtf8(text);
}

constexpr int kMaxConfigBytes = 1024 * 1024;

// A complete configuration padded with blanks to exactly size bytes.
QByteArray PaddedConfig(int size)
{
    QByteArray text = "{\"firmware\": {\"Base\": " + Entry(2) + "}}";
    return text + QByteArray(size - text.size(), ' ');
}

}  // namespace

class TestConfig : public QObject {
    Q_OBJECT

private slots:
    // Each failure gives its console line and its warning in the window's language, in the
    // error line and the log.
    void failureIsShownInTheWindowLanguage_data()
    {
        QTest::addColumn<QByteArray>("content");  // empty: no file; "<dir>": a directory
        QTest::addColumn<bool>("chinese");
        QTest::addColumn<QString>("debug_line");
        QTest::addColumn<QString>("warning");

        struct Row {
            const char *name;
            QByteArray content;
            const char *debug_line;
            const char *zh;
            const char *en;
        };
        const QByteArray incomplete = R"({"firmware": {"Pedals": {"dev_id": 5, "USB_PID": [4], "series": [)"
            + kSeries + R"(, {"boot_ver": "1", "hw_ver": "B", "section_len": 1, "path": "b.bin"}]}}})";
        const Row rows[] = {
            {"file missing", "", "json配置文件不存在!", "json配置文件不存在!", "The configuration file doesn't exist!"},
            {"cannot open", "<dir>", "配置文件无法打开!", "配置文件无法打开!", "Cannot open the json file!"},
            {"parse error", "{\"firmware\": ", "配置文件解析错误!", "配置文件解析错误!", "The configuration file parsing error!"},
            {"no firmware", "[1, 2]", "配置文件没有firmware!", "配置文件没有\"firmware\"!", "Field \"firmware\" in not found!!"},
            {"no dev_id", R"({"firmware": {"Base": {"USB_PID": [4], "series": []}}})", "[配置文件]: Base 没有dev_id!",
             "[配置文件]: \"Base\" 没有\"dev_id\"!", "[Config] Field \"dev_id\" in \"Base\" not found!"},
            {"no USB_PID", R"({"firmware": {"Motor": {"dev_id": 3, "series": []}}})", "[配置文件]: Motor 没有USB_PID!",
             "[配置文件]: \"Motor\"没有\"USB_PID\"!", "[Config] Field \"USB_PID\" in \"Motor\" not found!"},
            {"no series", R"({"firmware": {"Meter": {"dev_id": 4, "USB_PID": 4}}})", "[配置文件]: Meter 没有series!",
             "[配置文件]: \"Meter\"没有\"series\"!", "[Config] Field \"series\" in \"Meter\" not found!"},
            {"incomplete series 1", incomplete, "[配置文件]: Pedals(1)不完整!", "[配置文件]: \"Pedals\"(\"1\")不完整!",
             "[Config] \"Pedals\"(\"1\") is incomplete!"},
            {"one byte above 1 MiB", PaddedConfig(kMaxConfigBytes + 1), "配置文件过大!", "配置文件过大(超过1 MiB)!",
             "The configuration file is too large (over 1 MiB)!"},
        };
        for (const Row &row : rows) {
            QTest::addRow("%s, zh", row.name) << row.content << true << Utf8(row.debug_line) << Utf8(row.zh);
            QTest::addRow("%s, en", row.name) << row.content << false << Utf8(row.debug_line) << Utf8(row.en);
        }
    }

    void failureIsShownInTheWindowLanguage()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, chinese);
        QFETCH(QString, debug_line);
        QFETCH(QString, warning);

        Workspace workspace;  // the file lies below, out of the window's own discovery
        const QString path = workspace.Path("conf/settings.json");
        if (content == "<dir>")
            QVERIFY(QDir().mkpath(path));
        else if (!content.isEmpty())
            workspace.Write("conf/settings.json", content);

        MainWindow window;
        window.lang = chinese ? Language::Chinese : Language::English;
        DebugCapture debug;
        QVERIFY(!window.LoadConfig(path));

        QCOMPARE(debug.Lines(), QStringList{debug_line});
        QCOMPARE(window.findChild<QLabel *>("label_error")->text(), warning);
        QCOMPARE(window.findChild<QPlainTextEdit *>("text_log")->toPlainText().split('\n').last(), warning);
    }

    // What is not a configuration file ends the reading at once, where a plain open would wait
    // for a writer (a pipe) or read until memory runs out (/dev/zero).
    void notAConfigurationFile_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("debug_line");
        QTest::addColumn<QString>("zh");
        QTest::addColumn<QString>("en");
        const QString not_a_file = Utf8("配置文件不是普通文件!");
        const QString not_a_file_zh = Utf8("配置文件不是普通文件(管道、设备或套接字)!");
        const QString not_a_file_en = "The configuration file is not a regular file (a pipe, a device or a socket)!";
        QTest::newRow("named pipe") << "<pipe>" << not_a_file << not_a_file_zh << not_a_file_en;
#ifdef Q_OS_UNIX  // Windows has no device in its folders
        QTest::newRow("endless device") << "/dev/zero" << not_a_file << not_a_file_zh << not_a_file_en;
#endif
        QTest::newRow("far above 1 MiB") << "<huge>" << Utf8("配置文件过大!") << Utf8("配置文件过大(超过1 MiB)!")
                                         << "The configuration file is too large (over 1 MiB)!";
    }

    void notAConfigurationFile()
    {
        QFETCH(QString, path);
        QFETCH(QString, debug_line);
        QFETCH(QString, zh);
        QFETCH(QString, en);
        QTemporaryDir dir;
        if (path == "<pipe>") {
#ifdef Q_OS_UNIX
            path = dir.filePath("config.json");
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
#else
            QSKIP("Windows has no named pipe in a folder");
#endif
        } else if (path == "<huge>") {
            QFile huge(dir.filePath("config.json"));
            QVERIFY(huge.open(QIODevice::WriteOnly));
            QVERIFY(huge.resize(600LL * 1024 * 1024));  // sparse: takes no disk
            path = huge.fileName();
        }
        const auto read = WithDeadline<ConfigRead>([path] { return ReadConfig(path); });
        QVERIFY2(read.has_value(), "the configuration was never read to its end");
        QVERIFY(read->failure.has_value());
        QCOMPARE(read->failure->debug_line, debug_line);
        QCOMPARE(read->failure->Warning(Language::Chinese), zh);
        QCOMPARE(read->failure->Warning(Language::English), en);
        QVERIFY(!read->firmware_read);
    }

    // The bound is the largest configuration read: a file of exactly 1 MiB is a configuration.
    void configurationOfExactlyTheBound()
    {
        Workspace workspace;
        workspace.Write("conf/c.json", PaddedConfig(kMaxConfigBytes));
        const ConfigRead read = ReadConfig(workspace.Path("conf/c.json"));
        QVERIFY(read.Ok());
        QCOMPARE(read.entries.keys(), QStringList{"Base"});
    }

    // Steps before the file is understood keep the language in force; after "is_english" the
    // file's own choice counts, and anything but a boolean there selects Chinese.
    void languageOfTheWarnings_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("warning");
        QTest::addColumn<bool>("chinese_after");

        QTest::newRow("parse error keeps English") << QByteArray(R"({"is_english": false,)")
                                                   << "The configuration file parsing error!" << false;
        QTest::newRow("file selects Chinese") << QByteArray(R"({"is_english": false})")
                                              << Utf8("配置文件没有\"firmware\"!") << true;
        QTest::newRow("string is_english selects Chinese") << QByteArray(R"({"is_english": "true"})")
                                                           << Utf8("配置文件没有\"firmware\"!") << true;
    }

    void languageOfTheWarnings()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, warning);
        QFETCH(bool, chinese_after);

        Workspace workspace;
        workspace.Write("conf/c.json", content);
        MainWindow window;
        window.lang = Language::English;
        QVERIFY(!window.LoadConfig(workspace.Path("conf/c.json")));
        QCOMPARE(window.lang == Language::Chinese, chinese_after);
        QCOMPARE(window.findChild<QLabel *>("label_error")->text(), warning);
    }

    // Values of the wrong JSON type read as empty values and are not failures.
    void wrongTypesReadAsEmptyValues()
    {
        Workspace workspace;
        workspace.Write("conf/c.json", R"({"eol_path": 12, "check_boot_ver": "yes", "history_server": ["line-db"], "firmware": {
            "Base": {"dev_id": "2", "USB_PID": 4, "series": [
                {"boot_ver": 1, "hw_ver": "HW-A", "section_len": 4096.5, "path": "a.bin", "description": null}]},
            "Motor": {"dev_id": 3.0, "USB_PID": [5, 4, 5, "6", 1e12], "series": {"a": 1}}}})");
        const ConfigRead read = ReadConfig(workspace.Path("conf/c.json"));
        QVERIFY(read.Ok());
        // Each is kept as a type problem for a stricter reader, naming where it is and what it is.
        QStringList problems;
        for (const ConfigTypeProblem &problem : read.type_problems)
            problems << problem.field + " = " + problem.found;
        QCOMPARE(problems, (QStringList{"eol_path = 12", "check_boot_ver = \"yes\"", "history_server = an array",
                                        "firmware.Base.dev_id = \"2\"",
                                        "firmware.Base.USB_PID = 4", "firmware.Base.series[0].boot_ver = 1",
                                        "firmware.Base.series[0].description = null",
                                        "firmware.Base.series[0].section_len = 4096.5",
                                        "firmware.Motor.USB_PID[3] = \"6\"", "firmware.Motor.USB_PID[4] = 1000000000000",
                                        "firmware.Motor.series = an object"}));
        QCOMPARE(read.type_problems[3].expected_en, QString("a whole number"));
        QCOMPARE(read.settings.history_server.value_or("unset"), QString());
        QCOMPARE(read.settings.eol_path.value_or("unset"), QString());
        QCOMPARE(read.settings.check_boot_ver.value_or(true), false);
        QVERIFY(!read.settings.is_english.has_value());

        const FirmwareEntry base = read.entries["Base"];
        QCOMPARE(base.dev_id, 0);
        QVERIFY(base.usb_pids.isEmpty());
        QCOMPARE(base.series.size(), 1);
        const FirmwareSeries &variant = base.series[0];
        QCOMPARE(QStringList({variant.boot_ver, variant.hw_ver, variant.path, variant.description}),
                 QStringList({"", "HW-A", "a.bin", ""}));
        QCOMPARE(variant.section_len, 0);

        const FirmwareEntry motor = read.entries["Motor"];
        QCOMPARE(motor.dev_id, 3);
        QCOMPARE(motor.usb_pids, (QSet<int>{0, 4, 5}));  // "6" and 1e12 are no int ids
        QVERIFY(motor.series.isEmpty());

        workspace.Write("conf/c.json", R"({"firmware": [{"Base": {}}]})");
        const ConfigRead array = ReadConfig(workspace.Path("conf/c.json"));
        QVERIFY(array.Ok() && array.firmware_read && array.entries.isEmpty());
        QCOMPARE(array.type_problems.size(), 1);
        QCOMPARE(array.type_problems[0].field, QString("firmware"));
    }

    // Values in their range and of their type raise no type problem; those out of range do.
    // The keys that guard what reaches the units: a list that is not one reads as unsound, never
    // as absent, so a typing slip cannot switch the trust off; the guard's members keep their
    // defaults where left out.
    void trustAndGuardSettings()
    {
        auto settings = [](const QByteArray &top) {
            return ParseConfig("{" + top + (top.isEmpty() ? "" : ",") + R"("firmware": {}})").settings;
        };
        QVERIFY(!settings("").trusted_keys.has_value());
        QVERIFY(!settings("").line_guard.has_value());

        const ConfigSettings keys = settings(R"("trusted_keys": ["keys/line-2026.pub", "upgrader-ed25519 AAAA"])");
        QVERIFY(keys.trusted_keys && keys.trusted_keys->sound);
        QCOMPARE(keys.trusted_keys->entries, (QStringList{"keys/line-2026.pub", "upgrader-ed25519 AAAA"}));
        QVERIFY(settings(R"("trusted_keys": [])").trusted_keys->sound);
        for (const QByteArray &bad : {QByteArray(R"("trusted_keys": "keys/line.pub")"), QByteArray(R"("trusted_keys": ["a.pub", 7])"),
                                      QByteArray(R"("trusted_keys": null)")}) {
            const ConfigSettings read = settings(bad);
            QVERIFY2(read.trusted_keys && !read.trusted_keys->sound, bad.constData());
        }

        const ConfigSettings guard = settings(R"("line_guard": {"window_hours": 8, "max_failure_rate": 0.5})");
        QVERIFY(guard.line_guard && guard.line_guard->sound);
        QCOMPARE(guard.line_guard->window_hours, 8.0);
        QCOMPARE(guard.line_guard->min_jobs, 10);
        QCOMPARE(guard.line_guard->max_failure_rate, 0.5);
        for (const QByteArray &bad : {QByteArray(R"("line_guard": true)"), QByteArray(R"("line_guard": {"window_hours": 0})"),
                                      QByteArray(R"("line_guard": {"min_jobs": 2.5})"),
                                      QByteArray(R"("line_guard": {"max_failure_rate": 1.5})")}) {
            const ConfigRead read = ParseConfig("{" + bad + R"(, "firmware": {}})");
            QVERIFY2(read.settings.line_guard && !read.settings.line_guard->sound, bad.constData());
            QCOMPARE(read.type_problems.size(), 1);
            QVERIFY(read.type_problems[0].field.startsWith("line_guard"));
        }
    }

    void typeProblemsOfValuesInAndOutOfRange_data()
    {
        QTest::addColumn<QByteArray>("entry");
        QTest::addColumn<QString>("problem");  // empty: none
        QTest::addColumn<bool>("fails");       // a non-object reads as an empty one, lacking its keys
        const QByteArray series = R"("series": [{"boot_ver": "1", "hw_ver": "H", "section_len": -1, "path": "a", "description": "A"}])";
        QTest::newRow("sound") << Entry(2) << "" << false;
        QTest::newRow("device id as text") << QByteArray(R"({"dev_id": "four", "USB_PID": [4], "series": []})")
                                           << "firmware.Base.dev_id" << false;
        QTest::newRow("product id as text") << QByteArray(R"({"dev_id": 2, "USB_PID": ["4"], "series": []})")
                                            << "firmware.Base.USB_PID[0]" << false;
        QTest::newRow("product id beyond 16 bits") << QByteArray(R"({"dev_id": 2, "USB_PID": [65536], "series": []})")
                                                   << "firmware.Base.USB_PID[0]" << false;
        QTest::newRow("negative product id") << QByteArray(R"({"dev_id": 2, "USB_PID": [-4], "series": []})")
                                             << "firmware.Base.USB_PID[0]" << false;
        QTest::newRow("negative section length") << QByteArray(R"({"dev_id": 2, "USB_PID": [4], )" + series + "}")
                                                 << "firmware.Base.series[0].section_len" << false;
        QTest::newRow("series element not an object") << QByteArray(R"({"dev_id": 2, "USB_PID": [4], "series": [7]})")
                                                      << "firmware.Base.series[0]" << true;
        QTest::newRow("target not an object") << QByteArray(R"([1])") << "firmware.Base" << true;
    }

    void typeProblemsOfValuesInAndOutOfRange()
    {
        QFETCH(QByteArray, entry);
        QFETCH(QString, problem);
        QFETCH(bool, fails);
        const ConfigRead read = ParseConfig(R"({"is_english": true, "firmware": {"Base": )" + entry + "}}");
        QCOMPARE(read.Ok(), !fails);
        QStringList fields;
        for (const ConfigTypeProblem &found : read.type_problems)
            fields << found.field;
        QCOMPARE(fields, problem.isEmpty() ? QStringList() : QStringList{problem});
    }

    // A failure keeps what came before it: the entries before the failing name, the settings.
    // Without "firmware" the window's table stays as it was.
    void failureLeavesWhatWasReadBeforeIt()
    {
        Workspace workspace;
        workspace.Write("conf/c.json", "{\"firmware\": {\"Base\": " + Entry(2) + ", \"Steering\": " + Entry(1) + "}}");
        MainWindow window;
        QVERIFY(window.LoadConfig(workspace.Path("conf/c.json")));
        QCOMPARE(window.firmware_entries.keys(), (QStringList{"Base", "Steering"}));

        workspace.Write("conf/c.json", R"({"eol_path": "eol/run.sh", "is_english": true})");
        QVERIFY(!window.LoadConfig(workspace.Path("conf/c.json")));
        QCOMPARE(window.firmware_entries.keys(), (QStringList{"Base", "Steering"}));
        QVERIFY(window.has_eol_path);
        QCOMPARE(window.eol_path, QString("eol/run.sh"));

        // "Motor" comes after the failing "Meter" in name order and is never read.
        workspace.Write("conf/c.json", "{\"firmware\": {\"Motor\": " + Entry(3) + ", \"Base\": " + Entry(2)
                                      + R"(, "Meter": {"dev_id": 4, "series": []}}})");
        QVERIFY(!window.LoadConfig(workspace.Path("conf/c.json")));
        QCOMPARE(window.firmware_entries.keys(), QStringList{"Base"});
        QCOMPARE(window.findChild<QLabel *>("label_error")->text(),
                 QString("[Config] Field \"USB_PID\" in \"Meter\" not found!"));
        QVERIFY(window.has_eol_path);  // settings are never rolled back
    }

    // Where the installed window looks: its own folder (any "*.json", the first-JSON rule), then
    // the current directory (not the home folder), ~/.config/upgrader and /etc/upgrader, which take
    // only a config.json: an unrelated JSON there (a package.json) is no configuration, and its
    // folder is passed over. The window built in the chosen folder then reads that file, or says
    // that it found none. Each entry is FOLDER/NAME, a file; a name ending in "/" is a folder.
    void windowConfigFolder_data()
    {
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QString>("working");  // "work" or "home"
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QString>("file");     // the configuration the window reads there; empty: none

        QTest::newRow("build folder first")
            << QStringList{"program/config.json", "work/config.json", "user/config.json"} << "work" << "program"
            << "config.json";
        QTest::newRow("build folder takes any name")
            << QStringList{"program/station.json", "user/config.json"} << "work" << "program" << "station.json";
        QTest::newRow("current directory next")
            << QStringList{"program/notes.txt", "work/config.json", "user/config.json"} << "work" << "work"
            << "config.json";
        QTest::newRow("unrelated JSON in the current directory is passed over")
            << QStringList{"work/package.json", "user/config.json"} << "work" << "user" << "config.json";
        QTest::newRow("unrelated JSON beside config.json")
            << QStringList{"work/package.json", "work/config.json", "user/config.json"} << "work" << "work"
            << "config.json";
        QTest::newRow("unrelated JSON and nothing else: none")
            << QStringList{"work/package.json", "work/tsconfig.json"} << "work" << "program" << "";
        QTest::newRow("user's folder takes only config.json")
            << QStringList{"work/notes.txt", "user/settings.json"} << "work" << "program" << "";
        QTest::newRow("user's folder next") << QStringList{"work/notes.txt", "user/config.json"} << "work" << "user"
                                            << "config.json";
        QTest::newRow("home folder is passed over")
            << QStringList{"home/config.json", "user/config.json"} << "home" << "user" << "config.json";
        QTest::newRow("letter case counts") << QStringList{"work/Config.json", "user/config.json"} << "work" << "user"
                                            << "config.json";
        QTest::newRow("hidden file is none") << QStringList{"work/.config.json", "user/config.json"} << "work" << "user"
                                             << "config.json";
        QTest::newRow("folder named .json is none")
            << QStringList{"program/config.json/", "work/config.json/", "user/config.json"} << "work" << "user"
            << "config.json";
        QTest::newRow("none anywhere: the program's folder") << QStringList{"work/notes.txt"} << "work" << "program"
                                                             << "";
    }

    void windowConfigFolder()
    {
        QFETCH(QStringList, entries);
        QFETCH(QString, working);
        QFETCH(QString, chosen);
        QFETCH(QString, file);
#ifdef Q_OS_WIN
        QSKIP("the user's folder is set here through XDG_CONFIG_HOME; Windows takes %LOCALAPPDATA%");
#endif
        if (chosen == "program" && HoldsConfig(QDir("/etc/upgrader"), ConfigRule::ConfigJsonOnly))
            QSKIP("this machine has a configuration in /etc/upgrader");

        QTemporaryDir root;
        const QMap<QString, QString> folders{{"program", root.filePath("program")},
                                             {"work", root.filePath("work")},
                                             {"home", root.filePath("home")},
                                             {"user", root.filePath("xdg/upgrader")}};
        for (const QString &folder : folders)
            QVERIFY(QDir().mkpath(folder));
        for (const QString &entry : entries) {
            const QString path = folders.value(entry.section('/', 0, 0)) + '/' + entry.section('/', 1);
            if (entry.endsWith('/')) {
                QVERIFY(QDir().mkpath(path));
            } else {
                QFile json(path);
                QVERIFY(json.open(QIODevice::WriteOnly));
                json.write(R"({"name": "not ours", "version": "1.0.0"})");
            }
        }
        const ScopedVariable home("HOME", folders.value("home"));
        const ScopedVariable user("XDG_CONFIG_HOME", root.filePath("xdg"));

        const QList<ConfigFolder> searched = WindowConfigFolders(folders.value("program"), folders.value(working));
        QList<ConfigFolder> expected{{folders.value("program"), ConfigRule::AnyJson}};
        if (working != "home")
            expected.append({folders.value(working), ConfigRule::ConfigJsonOnly});
        expected.append({folders.value("user"), ConfigRule::ConfigJsonOnly});
        expected.append({"/etc/upgrader", ConfigRule::ConfigJsonOnly});
        QCOMPARE(searched, expected);
        const QString folder = ChooseConfigFolder(searched);
        QCOMPARE(folder, folders.value(chosen));

        MainWindow window{QDir(folder)};
        if (file.isEmpty()) {
            QCOMPARE(window.config_path, QString());
            QCOMPARE(window.findChild<QLabel *>("label_error")->text(), QString("No valid configuration file!"));
        } else {
            QCOMPARE(window.config_path, QDir(folder).filePath(file));
        }
    }

    void discovery_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QString>("chosen");  // empty: none
        QTest::addColumn<QString>("warning");
        QTest::addColumn<QString>("using_line");

        QTest::newRow("one file, any name") << QStringList{"settings.json", "config.txt"} << "settings.json"
                                            << "" << "Using settings.json";
        QTest::newRow("one file, upper-case extension") << QStringList{"SETUP.JSON"} << "SETUP.JSON" << ""
                                                        << "Using SETUP.JSON";
        QTest::newRow("hidden file not listed") << QStringList{".hidden.json", "settings.json"} << "settings.json"
                                                << "" << "Using settings.json";
        QTest::newRow("a.json and config.json") << QStringList{"a.json", "config.json"} << "config.json" << ""
                                                << "Using ./config.json";
        QTest::newRow("a.json and Config.json") << QStringList{"a.json", "Config.json"} << ""
                                                << "\"config.json\" not found!" << "";
    }

    void discovery()
    {
        QFETCH(QStringList, files);
        QFETCH(QString, chosen);
        QFETCH(QString, warning);
        QFETCH(QString, using_line);

        Workspace workspace;
        for (const QString &name : files)
            workspace.Write(name, "{}");
        DebugCapture debug;
        MainWindow window;

        QVERIFY(debug.Lines().value(0).startsWith("Found json: "));
        if (chosen.isEmpty()) {
            QCOMPARE(window.config_path, QString());
            QCOMPARE(window.findChild<QLabel *>("label_error")->text(), warning);
        } else {
            QCOMPARE(window.config_path, QDir(QDir::currentPath()).filePath(chosen));
            QCOMPARE(debug.Lines().value(1), using_line);
        }
    }
};

QTEST_MAIN(TestConfig)
#include "tst_config.moc"
