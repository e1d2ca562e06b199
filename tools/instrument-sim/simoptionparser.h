#pragma once

#include "simoptions.h"

#include <QString>
#include <QStringList>
#include <optional>

// Turns the command line into SimOptions. Errors come back as text for stderr; help comes back
// as text for stdout, so main decides the exit status in one place.
class SimOptionParser {
public:
    enum class Outcome { Run, Help, Error };

    Outcome parse(const QStringList& arguments);

    SimOptions options() const { return m_options; }
    QString message() const { return m_message; }

private:
    SimOptions m_options;
    QString m_message;
};
