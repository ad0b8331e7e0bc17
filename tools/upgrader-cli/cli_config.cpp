#include "cli_config.h"

#include "cli_log.h"
#include "cli_texts.h"
#include "history_server.h"
#include "config_discovery.h"
#include "config_reader.h"
#include "device_family.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <climits>
#include <functional>

namespace {

// The reader's failure, and where: a station has many files, and a script's log must say which.
ConfigFailure Located(const ConfigFailure &failure, const Bilingual &where, const QString &path)
{
    return {failure.debug_line, where.In(Language::Chinese).arg(failure.zh, QDir::toNativeSeparators(path)),
            where.In(Language::English).arg(failure.en, QDir::toNativeSeparators(path))};
}

constexpr char kLanguageKey[] = "is_english";

// The command refuses values the window reads as empty: a script is better told "dev_id must be a
// whole number" than "Cannot get hardware version" a device later. both: the language is not
// known (the file's choice of it is itself one of the problems), so each wording has both.
ConfigFailure WrongTypes(const QList<ConfigTypeProblem> &problems, const QString &path, bool both)
{
    QStringList zh, en;
    for (const ConfigTypeProblem &problem : problems) {
        zh << CliTexts::kConfigWrongType.In(Language::Chinese)
                  .arg(QDir::toNativeSeparators(path), problem.field, problem.expected_zh, problem.found);
        en << CliTexts::kConfigWrongType.In(Language::English)
                  .arg(QDir::toNativeSeparators(path), problem.field, problem.expected_en, problem.found);
    }
    if (both) {
        const QString all = (en + zh).join(QLatin1Char('\n'));
        return {en.join(QLatin1Char('\n')), all, all};
    }
    return {en.join(QLatin1Char('\n')), zh.join(QLatin1Char('\n')), en.join(QLatin1Char('\n'))};
}

bool NamesField(const QList<ConfigTypeProblem> &problems, const QString &field)
{
    return std::any_of(problems.cbegin(), problems.cend(),
                       [&](const ConfigTypeProblem &problem) { return problem.field == field; });
}

// A whole-number dev_id must address a device the family has: any other number reaches none, or
// another one (a frame's address keeps only the id's low four bits: 258 would reach the base).
void NoteDeviceIds(const FirmwareEntries &entries, QList<ConfigTypeProblem> &problems)
{
    int lowest = INT_MAX, highest = INT_MIN;
    for (const DeviceRole &role : DeviceRoles()) {
        lowest = std::min(lowest, role.dev_id);
        highest = std::max(highest, role.dev_id);
    }
    for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
        const QString field = QStringLiteral("firmware.%1.dev_id").arg(it.key());
        if (IsFamilyDevice(it.value().dev_id) || NamesField(problems, field))
            continue;  // a value of the wrong type is named already
        problems.append({field,
                         CliTexts::kFamilyDeviceId.In(Language::English).arg(lowest).arg(highest),
                         CliTexts::kFamilyDeviceId.In(Language::Chinese).arg(lowest).arg(highest),
                         QString::number(it.value().dev_id)});
    }
}

}  // namespace

CliConfig ReadCliConfig(const QString &given, std::optional<Language> lang)
{
    CliConfig config;
    // Nothing read yet: the window's start-up language.
    config.language = lang.value_or(Language::English);
    config.path = given;
    if (config.path.isEmpty()) {
        const ConfigDiscovery found = DiscoverConfig(QDir::current());
        for (const QString &line : found.debug_lines)
            qCInfo(lcCommand).noquote() << line;
        if (found.failure) {
            qCWarning(lcCommand).noquote() << found.failure->debug_line;
            config.failure = Located(*found.failure, CliTexts::kNoConfigInFolder, QDir::currentPath());
            return config;
        }
        config.path = found.path;
    }

    const ConfigRead read = ReadConfig(config.path);
    config.history_server = HistoryServer::Configured(read.settings.history_server.value_or(QString()));
    config.trusted_keys = read.settings.trusted_keys;
    config.line_guard = read.settings.line_guard;
    // An is_english that is not true or false chooses no language: the window would read it as
    // Chinese, the command keeps --lang (or English) and names it among the problems below.
    const bool language_unknown = NamesField(read.type_problems, QLatin1String(kLanguageKey));
    if (!lang && read.settings.is_english && !language_unknown)
        config.language = *read.settings.is_english ? Language::English : Language::Chinese;
    if (read.failure) {
        qCWarning(lcCommand).noquote() << read.failure->debug_line;
        config.failure = Located(*read.failure, QFileInfo(config.path).isDir() ? CliTexts::kConfigIsFolder
                                                                                : CliTexts::kConfigInFile,
                                 config.path);
        return config;
    }
    QList<ConfigTypeProblem> problems = read.type_problems;
    NoteDeviceIds(read.entries, problems);
    if (!problems.isEmpty()) {
        config.failure = WrongTypes(problems, config.path, language_unknown && !lang);
        qCWarning(lcCommand).noquote() << config.failure->debug_line;
        return config;
    }
    config.entries = read.entries;
    return config;
}

std::optional<ConfigFailure> UpgradeConfigProblem(const CliConfig &config, const QString &target)
{
    const QString file = QDir::toNativeSeparators(config.path);
    // Each wording filled by fill, for the console line, the Chinese and the English warning.
    auto failure = [](const std::function<QString(Language language)> &fill) {
        return std::optional<ConfigFailure>(
            ConfigFailure{fill(Language::English), fill(Language::Chinese), fill(Language::English)});
    };
    if (!config.entries.contains(target)) {
        const QStringList names = config.entries.keys();
        const QString has = names.isEmpty() ? QStringLiteral("-") : names.join(QStringLiteral(", "));
        return failure([&](Language language) {
            return CliTexts::kTargetNotConfigured.In(language).arg(file, target, has);
        });
    }
    const FirmwareEntry &entry = config.entries.value(target);
    if (entry.series.isEmpty())
        return failure([&](Language language) {
            return CliTexts::kNoVariantConfigured.In(language).arg(file, target);
        });
    // The launch reads the hardware version of these devices only; any other is never asked.
    if (!IsUpgradable(entry.dev_id)) {
        const std::vector<int> upgradable = UpgradableIds();
        return failure([&](Language language) {
            return CliTexts::kDeviceNotUpgradable.In(language).arg(file, target, QString::number(entry.dev_id),
                                                                    QString::number(upgradable.front()),
                                                                    QString::number(upgradable.back()));
        });
    }
    return std::nullopt;
}
