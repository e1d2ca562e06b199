#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// Code page 932 bytes for text going to the line or the result file. ICU's encoder writes
// 0xFCFC for a character it cannot map, Windows' writes '?'; we refuse such text outright instead,
// because a substituted character in the result file would be a wrong patient record.
class Cp932Encoder {
public:
    // std::nullopt when some character has no code page 932 form.
    static std::optional<QByteArray> encode(const QString& text);
};
