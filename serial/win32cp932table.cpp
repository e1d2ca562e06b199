#include "cp932table.h"

#include <qt_windows.h>

namespace {
constexpr UINT codePage = 932;
}

bool Cp932Table::isAvailable() { return IsValidCodePage(codePage) != 0; }

std::optional<QString> Cp932Table::decodePairs(const QByteArray& pairs)
{
    if (pairs.isEmpty())
        return QString();
    // Every double-byte code of the code page is one UTF-16 unit; MB_ERR_INVALID_CHARS makes an
    // unassigned code fail the call instead of turning into the default character.
    QString text(pairs.size() / 2, Qt::Uninitialized);
    const int n = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, pairs.constData(),
        int(pairs.size()), reinterpret_cast<wchar_t*>(text.data()), int(text.size()));
    if (n != text.size())
        return std::nullopt;
    return text;
}

std::optional<QByteArray> Cp932Table::encode(const QString& text)
{
    if (text.isEmpty())
        return QByteArray();
    const auto* wide = reinterpret_cast<const wchar_t*>(text.utf16());
    // WC_NO_BEST_FIT_CHARS: a character without its own code becomes the default character
    // and raises usedDefault, instead of silently becoming a look-alike.
    BOOL usedDefault = FALSE;
    const int size = WideCharToMultiByte(
        codePage, WC_NO_BEST_FIT_CHARS, wide, int(text.size()), nullptr, 0, nullptr, &usedDefault);
    if (size <= 0 || usedDefault)
        return std::nullopt;
    QByteArray bytes(size, Qt::Uninitialized);
    usedDefault = FALSE;
    const int written = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide, int(text.size()),
        bytes.data(), size, nullptr, &usedDefault);
    if (written != size || usedDefault)
        return std::nullopt;
    return bytes;
}
