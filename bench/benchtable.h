#pragma once

#include "benchplan.h"
#include "runfigures.h"

#include <QList>
#include <QString>
#include <optional>

// Turns the runs of both variants into the markdown table: medians side by side, their
// ratio, the bare polling loop's figure beside them, the target and whether the shipped
// (paced) program meets it, then notes on method. Runs of the Windows build under Wine, when
// there are any, get a column of their own.
class BenchTable {
public:
    BenchTable(const BenchPlan& plan, const QList<RunFigures>& paced,
        const QList<RunFigures>& unpaced, const QList<RunFigures>& traced,
        const QList<RunFigures>& floor, const QList<RunFigures>& wine = {});

    // The build measured with --program, when it is not the one built beside the benchmark.
    void setProgram(const QString& path) { m_program = path; }
    void setLoadAverages(const QString& atStart, const QString& atEnd)
    {
        m_loadAtStart = atStart;
        m_loadAtEnd = atEnd;
    }

    QString markdown(double benchSeconds, int failedRuns) const;

private:
    struct Row {
        QString figure;
        // Not a number where nothing could be counted ("n/a").
        double paced { 0 };
        double unpaced { 0 };
        // The bare loop's figure; none where it has no counterpart (no window, no result file).
        std::optional<double> floor;
        // Below this a paced figure is indistinguishable from zero.
        double resolution { 0 };
        QString unit;
        int decimals { 1 };
        QString target;
        // Empty for a figure without a target; otherwise whether the paced figure meets it.
        std::optional<bool> met;
        // A figure of the shipped program only, with nothing to set against it unpaced.
        bool pacedOnly { false };
        // A row that is itself a ratio has no unpaced / paced ratio worth showing.
        bool ratioShown { true };
    };

    QList<Row> rows() const { return rows(m_paced, m_unpaced, m_traced); }
    // The rows with `paced` in the paced column: the Wine column is computed the same way,
    // against the same floor.
    QList<Row> rows(const QList<RunFigures>& paced, const QList<RunFigures>& unpaced,
        const QList<RunFigures>& traced) const;
    static QString ratio(const Row& row);

    BenchPlan m_plan;
    QList<RunFigures> m_paced;
    QList<RunFigures> m_unpaced;
    QList<RunFigures> m_traced;
    QList<RunFigures> m_floor;
    QList<RunFigures> m_wine;
    QString m_program;
    QString m_loadAtStart;
    QString m_loadAtEnd;
};
