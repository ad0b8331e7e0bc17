#include "cli_config.h"

#include "cli_log.h"
#include "config_discovery.h"
#include "config_reader.h"

#include <QDir>

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
            config.failure = found.failure;
            return config;
        }
        config.path = found.path;
    }

    const ConfigRead read = ReadConfig(config.path);
    if (!lang && read.settings.is_english)
        config.chinese = !*read.settings.is_english;
    if (read.failure) {
        qCDebug(lcCommand).noquote() << read.failure->debug_line;
        config.failure = read.failure;
        return config;
    }
    config.entries = read.entries;
    return config;
}
