// The line's guard on the line's server: how an image has done there, and the supervisors'
// releases of an image the guard halted, in a table of their own beside the history's.
#include "history_server.h"
#include "server_sql.h"

#include <QSqlQuery>
#include <QStringList>

namespace HistoryServer {

namespace {

constexpr char kReleaseTable[] = "line_releases";
// Marks the table as ours: another program's table of that name is never read or written.
constexpr char kReleaseMark[] = "upgrader: releases of images the line's guard halted";
// Serialises the table's creation among supervisors that release on a new server at once.
constexpr qint64 kReleaseLock = 0x6c696e65;  // "line"

using Sql::Text;

}  // namespace

bool Connection::ReleaseTable(bool create, bool *present, QString *reason)
{
    *present = false;
    Failure failure;
    QString mark;
    QStringList columns;
    auto look = [&] {
        return Statement(QStringLiteral("SELECT to_regclass(%1) IS NOT NULL, coalesce(obj_description(to_regclass(%1), "
                                        "'pg_class'), ''), coalesce((SELECT string_agg(attname, ',') FROM pg_attribute "
                                        "WHERE attrelid = to_regclass(%1) AND attnum > 0 AND NOT attisdropped), '')")
                             .arg(Text(QLatin1String(kReleaseTable))),
                         Act::Read, &failure, [&](const QSqlQuery &query) {
                             *present = query.value(0).toBool();
                             mark = query.value(1).toString();
                             columns = query.value(2).toString().split(QLatin1Char(','), Qt::SkipEmptyParts);
                         });
    };
    auto ours = [&] {
        for (const char *column : {"image_sha256", "released_at", "user", "host", "reason"}) {
            if (!columns.contains(QLatin1String(column)))
                return false;
        }
        return mark == QLatin1String(kReleaseMark);
    };
    auto foreign = [&] {
        *reason = QStringLiteral("the database %1 on the line's server holds a table \"%2\" that is not the line "
                                 "guard's releases, so nothing is read from it or written to it: have the server's "
                                 "administrator rename that table")
                      .arg(database_name, QLatin1String(kReleaseTable));
        return false;
    };
    if (!look()) {
        *reason = failure.reason;
        return false;
    }
    if (*present)
        return ours() || foreign();
    if (!create)
        return true;
    const QString table = QLatin1String(kReleaseTable);
    bool done = Statement(QStringLiteral("BEGIN"), Act::Create, &failure) &&
                Statement(QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(kReleaseLock), Act::Create, &failure) &&
                look();
    if (done && !*present) {
        for (const QString &statement :
             {QStringLiteral("CREATE TABLE %1 (id bigserial PRIMARY KEY, image_sha256 text NOT NULL, released_at "
                             "timestamptz NOT NULL DEFAULT now(), \"user\" text NOT NULL, host text NOT NULL, "
                             "reason text NOT NULL)")
                  .arg(table),
              QStringLiteral("CREATE INDEX line_releases_by_image ON %1 (image_sha256, released_at)").arg(table),
              QStringLiteral("COMMENT ON TABLE %1 IS %2").arg(table, Text(QLatin1String(kReleaseMark)))}) {
            if (done)
                done = Statement(statement, Act::Create, &failure);
        }
        if (done) {
            *present = true;
            mark = QLatin1String(kReleaseMark);
            columns = QStringList{"image_sha256", "released_at", "user", "host", "reason"};
        }
    }
    if (done)
        done = Statement(QStringLiteral("COMMIT"), Act::Create, &failure);
    if (!done) {
        *reason = failure.state == QLatin1String("42501")
                      ? QStringLiteral("the line's server does not let the role %1 make the table %2 in the database %3 "
                                       "(permission denied): its administrator grants it with \"GRANT CREATE ON "
                                       "SCHEMA public TO %1\"")
                            .arg(role, table, database_name)
                      : failure.reason;
        if (Sound()) {
            Failure ignored;
            Statement(QStringLiteral("ROLLBACK"), Act::Session, &ignored);
        }
        return false;
    }
    return ours() || foreign();
}

bool Connection::ImageRecord(const QString &sha256, double window_hours, ImageFigures *figures, QString *warning)
{
    *figures = ImageFigures();
    bool present = false;
    bool can_write = false;
    if (!Ready(false, &present, &can_write, warning))
        return false;
    bool released = false;
    if (!ReleaseTable(false, &released, warning))
        return false;
    if (!present)
        return true;  // no history on the server yet: the image has no figures
    const QString image = Text(sha256.toLower());
    const QString latest = released ? QStringLiteral("(SELECT max(released_at) FROM %1 WHERE image_sha256 = %2)")
                                          .arg(QLatin1String(kReleaseTable), image)
                                    : QStringLiteral("CAST(NULL AS timestamptz)");
    // A test of the image: it was sent (not current), nobody stopped it, and it reached the unit
    // (a job that never did is recorded without a version after it).
    const QString tested = QStringLiteral("result <> 'current' AND stopped_by = '' AND version_after <> ''");
    Failure failure;
    const bool read = Statement(
        QStringLiteral("WITH released AS (SELECT %1 AS released_at) "
                       "SELECT count(*) FILTER (WHERE %2), count(*) FILTER (WHERE %2 AND result = 'failed'), "
                       "(SELECT %3 FROM released) FROM upgrades, released "
                       "WHERE image_sha256 = %4 AND started_at >= now() - make_interval(secs => %5) "
                       "AND (released.released_at IS NULL OR started_at > released.released_at)")
            .arg(latest, tested, Sql::UtcTime(QStringLiteral("released_at")), image, QString::number(window_hours * 3600.0, 'f', 3)),
        Act::Read, &failure, [&](const QSqlQuery &query) {
            figures->jobs = query.value(0).toLongLong();
            figures->failures = query.value(1).toLongLong();
            figures->released_at = Sql::ReadUtcTime(query.value(2));
        });
    if (!read)
        *warning = failure.reason;
    return read;
}

bool Connection::Release(ImageRelease *release, QString *warning)
{
    bool present = false;
    bool can_write = false;
    if (!Ready(false, &present, &can_write, warning))
        return false;
    bool table = false;
    if (!ReleaseTable(true, &table, warning))
        return false;
    Failure failure;
    const bool done = Statement(
        QStringLiteral("INSERT INTO %1 (image_sha256, \"user\", host, reason) VALUES (%2, %3, %4, %5) RETURNING %6")
            .arg(QLatin1String(kReleaseTable), Text(release->image_sha256.toLower()), Text(release->user),
                 Text(release->host), Text(release->reason), Sql::UtcTime(QStringLiteral("released_at"))),
        Act::Write, &failure, [&](const QSqlQuery &query) { release->released_at = Sql::ReadUtcTime(query.value(0)); });
    if (done)
        return true;
    *warning = failure.state == QLatin1String("42501")
                   ? QStringLiteral("the line's server does not let the role %1 record a release (permission denied): "
                                    "its administrator grants it with \"GRANT SELECT, INSERT ON %2 TO %1; GRANT USAGE "
                                    "ON SEQUENCE %2_id_seq TO %1\"")
                         .arg(role, QLatin1String(kReleaseTable))
                   : failure.reason;
    return false;
}

bool Connection::Releases(const QString &sha256, QList<ImageRelease> *releases, QString *warning)
{
    releases->clear();
    bool present = false;
    bool can_write = false;
    if (!Ready(false, &present, &can_write, warning))
        return false;
    bool table = false;
    if (!ReleaseTable(false, &table, warning))
        return false;
    if (!table)
        return true;
    Failure failure;
    const bool read = Statement(
        QStringLiteral("SELECT image_sha256, %1, \"user\", host, reason FROM %2 WHERE image_sha256 = %3 "
                       "ORDER BY released_at DESC, id DESC")
            .arg(Sql::UtcTime(QStringLiteral("released_at")), QLatin1String(kReleaseTable), Text(sha256.toLower())),
        Act::Read, &failure, [&](const QSqlQuery &query) {
            *releases << ImageRelease{query.value(0).toString(), Sql::ReadUtcTime(query.value(1)), query.value(2).toString(),
                                      query.value(3).toString(), query.value(4).toString()};
        });
    if (!read)
        *warning = failure.reason;
    return read;
}

bool Connection::ImagesStartingWith(const QString &prefix, QStringList *matches, QString *warning)
{
    matches->clear();
    bool present = false;
    bool can_write = false;
    if (!Ready(false, &present, &can_write, warning))
        return false;
    if (!present)
        return true;
    // The prefix is hex digits only (checked by the caller): nothing in it is special to LIKE.
    Failure failure;
    const bool read = Statement(
        QStringLiteral("SELECT DISTINCT image_sha256 FROM upgrades WHERE image_sha256 LIKE %1 ORDER BY 1 LIMIT 2")
            .arg(Text(prefix.toLower() + QLatin1Char('%'))),
        Act::Read, &failure, [&](const QSqlQuery &query) { *matches << query.value(0).toString(); });
    if (!read)
        *warning = failure.reason;
    return read;
}

}  // namespace HistoryServer
