#pragma once

#include "benchplan.h"
#include "runfigures.h"

#include <QList>
#include <QString>

// Turns the runs of both variants into the markdown table: medians side by side, their
// ratio, the target and whether the shipped (paced) program meets it, then notes on method.
class BenchTable {
public:
    BenchTable(
        const BenchPlan& plan, const QList<RunFigures>& paced, const QList<RunFigures>& unpaced);

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
    };

    QList<Row> rows() const;
    static QString ratio(const Row& row);

    BenchPlan m_plan;
    QList<RunFigures> m_paced;
    QList<RunFigures> m_unpaced;
};
