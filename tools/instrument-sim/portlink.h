#pragma once

#include <QString>

// The comN entry of a dosdevices folder, pointed at our slave so that the receiver's port N
// opens our line. We remove it on the way out, but only while it still points at us: another
// run may have taken it over meanwhile.
class PortLink {
public:
    PortLink() = default;
    ~PortLink() { remove(); }
    PortLink(const PortLink&) = delete;
    PortLink& operator=(const PortLink&) = delete;

    bool create(const QString& folder, int port, const QString& target);
    void remove();

    QString path() const { return m_path; }
    QString errorString() const { return m_error; }

private:
    QString m_path;
    QString m_target;
    QString m_error;
};
