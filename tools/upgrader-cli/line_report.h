#pragma once

#include "history_server.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <memory>

class QCoreApplication;
class QIODevice;

// The line's report (history --server --report): what the filters chose, read from the line's
// server, drawn as charts with their tables. Its texts are English whatever the command's
// language; the records' own texts (targets, reasons) are drawn as they are, Chinese included.
struct LineReport {
    QString server;       // the server's name (host, port, database)
    QString filters;      // the filters as given, for the title; empty: every record
    QDateTime since;      // invalid: from the first record
    QDateTime until;      // invalid: to the last record
    QDateTime generated;  // local
    QList<HistoryServer::DaySummary> days;
    QList<HistoryServer::FirstPassDay> first_passes;
    QList<HistoryServer::StationTally> stations;
    QList<HistoryServer::FailureReason> reasons;
    QList<HistoryServer::DurationSpread> durations;
    QList<HistoryServer::FieldVersion> versions;
};

// The parts of the report; each one chart.
enum class ReportPart { Yield, Stations, Reasons, Durations, Versions };

// The part --chart names (yield, stations, reasons, durations, versions); Yield for another name.
ReportPart ReportPartNamed(const QString &name);

// Reads every figure of the report from server, each from its own query; false with *warning
// when one cannot be read (then the report is not written).
bool ReadLineReport(HistoryServer::Connection &server, const HistoryServer::Filter &filter, LineReport *report,
                    QString *warning);

// The report as a PDF (A4 pages: the title, then each part with its chart and the table of its
// numbers), written to file. False with *problem when it cannot be written.
bool WriteReportPdf(const LineReport &report, QIODevice *file, QString *problem);
// One part's chart as a PNG image.
bool WriteReportChartPng(const LineReport &report, ReportPart part, QIODevice *file, QString *problem);

// The command's application object: a QApplication when the arguments ask for a report (charts
// are drawn with the widgets' graphics machinery), else a QCoreApplication. A station may have no
// display: on Linux the report is drawn on the offscreen platform unless another one was asked.
std::unique_ptr<QCoreApplication> MakeCliApplication(int &argc, char **argv);
