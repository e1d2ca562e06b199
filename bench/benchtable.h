#pragma once

#include "benchplan.h"
#include "runfigures.h"

#include <QList>
#include <QString>

// Turns the runs of both variants into the markdown table: medians side by side, their
// ratio, the target and whether the shipped (paced) program meets it, then notes on method.
// Runs of the Windows build under Wine, when there are any, get a column of their own.
class BenchTable {
public:
    BenchTable(const BenchPlan& plan, const QList<RunFigures>& paced,
        const QList<RunFigures>& unpaced, const QList<RunFigures>& traced,
        const QList<RunFigures>& wine = {});

    QString markdown(double benchSeconds, int failedRuns) const;

private:
    struct Row {
        QString figure;
        double paced { 0 };
        double unpaced { 0 };
        // Below this a paced figure is indistinguishable from zero.
        double resolution { 0 };
        QString unit;
        int decimals { 1 };
        QString target;
        // Empty for a figure without a target; otherwise whether the paced figure meets it.
        std::optional<bool> met;
        // A figure of the shipped program only, with nothing to set against it unpaced.
        bool pacedOnly { false };
    };

    QList<Row> rows() const { return rows(m_paced, m_unpaced, m_traced); }
    // The rows with `paced` in the paced column: the Wine column is computed the same way.
    QList<Row> rows(const QList<RunFigures>& paced, const QList<RunFigures>& unpaced,
        const QList<RunFigures>& traced) const;
    static QString ratio(const Row& row);

    BenchPlan m_plan;
    QList<RunFigures> m_paced;
    QList<RunFigures> m_unpaced;
    QList<RunFigures> m_traced;
    QList<RunFigures> m_wine;
};
