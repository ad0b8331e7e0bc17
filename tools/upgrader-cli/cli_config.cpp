#include "cli_config.h"

#include "cli_log.h"
#include "cli_texts.h"
#include "history_server.h"
#include "config_discovery.h"
#include "config_reader.h"

#include <QDir>
#include <QFileInfo>

namespace {

// The reader's failure, and where: a station has many files, and a script's log must say which.
ConfigFailure Located(const ConfigFailure &failure, const Bilingual &where, const QString &path)
{
    return {failure.debug_line, where.In(true).arg(failure.zh, QDir::toNativeSeparators(path)),
            where.In(false).arg(failure.en, QDir::toNativeSeparators(path))};
}

// The command refuses values the window reads as empty: a script is better told "dev_id must be a
// whole number" than "Cannot get hardware version" a device later.
ConfigFailure WrongTypes(const QList<ConfigTypeProblem> &problems, const QString &path)
{
    QStringList zh, en;
    for (const ConfigTypeProblem &problem : problems) {
        zh << CliTexts::kConfigWrongType.In(true).arg(QDir::toNativeSeparators(path), problem.field,
                                                       problem.expected_zh, problem.found);
        en << CliTexts::kConfigWrongType.In(false).arg(QDir::toNativeSeparators(path), problem.field,
                                                        problem.expected_en, problem.found);
    }
    return {en.join(QLatin1Char('\n')), zh.join(QLatin1Char('\n')), en.join(QLatin1Char('\n'))};
}

}  // namespace

CliConfig ReadCliConfig(const QString &given, std::optional<bool> lang)
{
    CliConfig config;
    config.chinese = lang.value_or(false);  // nothing read yet: the window's start-up language
    config.path = given;
    if (config.path.isEmpty()) {
        const ConfigDiscovery found = DiscoverConfig(QDir::current());
        for (const QString &line : found.debug_lines)
            qCDebug(lcCommand).noquote() << line;
        if (found.failure) {
            qCDebug(lcCommand).noquote() << found.failure->debug_line;
            config.failure = Located(*found.failure, CliTexts::kNoConfigInFolder, QDir::currentPath());
            return config;
        }
        config.path = found.path;
    }

    const ConfigRead read = ReadConfig(config.path);
    config.history_server = HistoryServer::Configured(read.settings.history_server.value_or(QString()));
    if (!lang && read.settings.is_english)
        config.chinese = !*read.settings.is_english;
    if (read.failure) {
        qCDebug(lcCommand).noquote() << read.failure->debug_line;
        config.failure = Located(*read.failure, QFileInfo(config.path).isDir() ? CliTexts::kConfigIsFolder
                                                                                : CliTexts::kConfigInFile,
                                 config.path);
        return config;
    }
    if (!read.type_problems.isEmpty()) {
        config.failure = WrongTypes(read.type_problems, config.path);
        qCDebug(lcCommand).noquote() << config.failure->debug_line;
        return config;
    }
    config.entries = read.entries;
    return config;
}
