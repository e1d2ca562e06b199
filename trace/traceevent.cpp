#include "traceevent.h"

#include <array>
#include <utility>

namespace {

using Kind = TraceEvent::Kind;

constexpr std::array<std::pair<Kind, const char*>, 16> names { {
    { Kind::Open, "open" },
    { Kind::OpenFailed, "open-failed" },
    { Kind::Close, "close" },
    { Kind::Clear, "clear" },
    { Kind::Forget, "forget" },
    { Kind::Received, "rx" },
    { Kind::Sent, "tx" },
    { Kind::SendFailed, "tx-failed" },
    { Kind::BreakOn, "break" },
    { Kind::BreakOff, "break" },
    { Kind::Comm, "comm" },
    { Kind::Written, "written" },
    { Kind::Rejected, "rejected" },
    { Kind::Aborted, "abort" },
    { Kind::Fatal, "fatal" },
    { Kind::End, "end" },
} };

}

QLatin1String TraceEvent::name(Kind kind)
{
    for (const auto& [k, word] : names) {
        if (k == kind)
            return QLatin1String(word);
    }
    return {};
}

std::optional<TraceEvent::Kind> TraceEvent::kindNamed(const QByteArray& name)
{
    // "break" stands for both; its argument tells them apart.
    for (const auto& [k, word] : names) {
        if (name == word)
            return k;
    }
    return std::nullopt;
}
