#pragma once

#include <QByteArray>
#include <QString>

// Turns code page 932 bytes from the line into text, one read at a time. A double-byte
// character whose lead byte ends one read and whose trail byte starts the next comes out
// whole in the later read.
//
// ICU's table behind "windows-31j" swaps the controls 0x1A, 0x1C and 0x7F (an IBM
// convention) and decodes an invalid single byte as U+001A, the same character a valid
// byte decodes to; Windows' own table maps the bytes the code page leaves unassigned to
// private-use characters. So we frame the characters ourselves, keep the single-byte range to
// the code page's own identity and half-width katakana mapping, and hand only complete
// double-byte codes to the platform's table. Every byte that is not valid code page 932
// comes out as U+FFFD, which no encoder can write back, so it can never reach the result file.
class Cp932Decoder {
public:
    // False when the platform has no code page 932 converter; nothing else works then.
    bool isValid() const;

    QString decode(const QByteArray& bytes);

    // Whether the last decode() ended on a lead byte that waits for its trail byte.
    bool holdsPartialCharacter() const { return m_hasPendingLead; }
    void forgetPartialCharacter() { m_hasPendingLead = false; }

    // Whether any byte since the last reset was invalid.
    bool hasError() const { return m_invalidSeen; }

    // Drops a half-received character, as when the port's input is discarded or closed.
    void reset();

private:
    QString decodeDoubleBytes(const QByteArray& pairs);

    bool m_hasPendingLead { false };
    char m_pendingLead { 0 };
    bool m_invalidSeen { false };
};
