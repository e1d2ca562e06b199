#include "replacepolicy.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

#include <qt_windows.h>

#include <aclapi.h>

namespace ReplacePolicy {

namespace {

    std::wstring native(const QString& path)
    {
        return QDir::toNativeSeparators(path).toStdWString();
    }

    QString systemReason(DWORD error) { return qt_error_string(int(error)); }

    // A reader or a virus scanner that opened the file without sharing it with us.
    bool heldByAnother(DWORD error)
    {
        return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION
            || error == ERROR_UNABLE_TO_REMOVE_REPLACED;
    }

    // From the handle's current position, which is the start of a file just opened. A short
    // write is continued with the rest.
    bool writeAll(HANDLE file, const QByteArray& line)
    {
        for (qsizetype done = 0; done < line.size();) {
            DWORD written = 0;
            if (!WriteFile(
                    file, line.constData() + done, DWORD(line.size() - done), &written, nullptr))
                return false;
            if (written == 0) {
                SetLastError(ERROR_WRITE_FAULT);
                return false;
            }
            done += written;
        }
        return true;
    }

    // ReplaceFileW keeps the replaced file's DACL but not its integrity label, so an elevated run
    // would leave a file labelled High that the next standard user may not write. The label (or
    // its absence) is given to the replacement first; false when it cannot be read or given.
    bool takeIntegrityLabel(const std::wstring& from, HANDLE to)
    {
        HANDLE source = CreateFileW(from.c_str(), READ_CONTROL,
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
            FILE_ATTRIBUTE_NORMAL, nullptr);
        if (source == INVALID_HANDLE_VALUE)
            return false;
        PACL label = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        DWORD error = GetSecurityInfo(source, SE_FILE_OBJECT, LABEL_SECURITY_INFORMATION, nullptr,
            nullptr, nullptr, &label, &descriptor);
        CloseHandle(source);
        if (error != ERROR_SUCCESS)
            return false;
        // A file without a label of its own is read as Medium; an empty list takes away the
        // label that the replacement may have been given at its creation.
        ACL none;
        if (!label && InitializeAcl(&none, sizeof none, ACL_REVISION))
            label = &none;
        error = label ? SetSecurityInfo(to, SE_FILE_OBJECT, LABEL_SECURITY_INFORMATION, nullptr,
                    nullptr, nullptr, label)
                      : GetLastError();
        LocalFree(descriptor);
        SetLastError(error);
        return error == ERROR_SUCCESS;
    }

    // ReplaceFileW carries the attributes over itself; not every file system does (nor Wine),
    // and a reader may look for a hidden or system file.
    void keepAttributes(const std::wstring& path, DWORD old)
    {
        constexpr DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM
            | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
        if (old & kept)
            SetFileAttributesW(path.c_str(), old & kept);
    }

}

// Readers and virus scanners hold the file for milliseconds; a second is far beyond them and
// still short for an operator waiting on the next record.
std::chrono::milliseconds renameRetryLimit() { return std::chrono::milliseconds(1000); }

// Emptying the file in place and then writing let a polling reader catch it empty, and a write
// that failed half-way destroyed the previous good line. The complete line goes into a file of
// our own beside the target first. An existing Result.txt is then replaced with ReplaceFileW,
// which keeps the replaced file's security descriptor (the Modify right an administrator gave
// the users, the integrity label), its attributes and its creation time; a plain rename would
// give it the new file's, inherited from C:\ with the High label of an elevated run, and the
// next standard user could no longer write it. Only a file that does not exist yet is renamed
// into place.
Replace replaceOnce(const QString& localPath, const QByteArray& line, QString* reason)
{
    const std::wstring target = native(localPath);
    const DWORD attributes = GetFileAttributesW(target.c_str());
    // A folder at the name is no result file to replace, as Windows itself says when it is
    // opened for writing (Wine's ReplaceFileW would replace it all the same).
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        *reason = systemReason(ERROR_ACCESS_DENIED);
        return Replace::Failed;
    }
    std::wstring temporary;
    HANDLE file = INVALID_HANDLE_VALUE;
    do {
        temporary = target + L"."
            + QString::number(QRandomGenerator::global()->generate(), 36).toStdWString();
        // Giving a label takes WRITE_OWNER, which the maker of a file has where it may make one.
        file = CreateFileW(temporary.c_str(), GENERIC_WRITE | READ_CONTROL | WRITE_OWNER, 0,
            nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    } while (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        *reason = systemReason(error);
        return error == ERROR_ACCESS_DENIED ? Replace::TemporaryRefused : Replace::Failed;
    }
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    const bool written = writeAll(file, line) && FlushFileBuffers(file);
    DWORD error = written ? ERROR_SUCCESS : GetLastError();
    // Where the label cannot be carried over, the in-place write keeps it with the file.
    const bool labelled = !written || !exists || takeIntegrityLabel(target, file);
    if (!labelled)
        error = GetLastError();
    CloseHandle(file);

    if (written && labelled) {
        BOOL replaced = exists
            ? ReplaceFileW(target.c_str(), temporary.c_str(), nullptr, 0, nullptr, nullptr)
            : MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH);
        error = replaced ? ERROR_SUCCESS : GetLastError();
        // The replaced file is gone already and the line is only in the replacement: it is
        // moved into place, and kept where it is if even that fails.
        if (!replaced && error == ERROR_UNABLE_TO_MOVE_REPLACEMENT) {
            replaced = MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH);
            if (!replaced) {
                *reason
                    = QStringLiteral("%1; the line is kept in %2")
                          .arg(systemReason(GetLastError()), QString::fromStdWString(temporary));
                return Replace::Failed;
            }
        }
        if (replaced) {
            if (exists)
                keepAttributes(target, attributes);
            return Replace::Done;
        }
    }
    DeleteFileW(temporary.c_str());
    *reason = systemReason(error);
    if (!written)
        return Replace::Failed;
    if (!labelled)
        return Replace::HeldOpen;
    // A file that appeared between the look and the rename is replaced on the next try.
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)
        return Replace::Busy;
    // A reader holding the file (a sharing violation, or access denied for want of delete
    // sharing), or a user who may make files beside Result.txt but not replace it: the file
    // itself may still be written in place.
    if (heldByAnother(error) || error == ERROR_ACCESS_DENIED)
        return Replace::HeldOpen;
    return Replace::Failed;
}

// Asked the way the write will ask: an existing file opened for writing as the in-place write
// opens it (a reader in the way is waited for by the write, so it counts as writable), and for a
// new file a file of our own made in the folder and gone again when its handle closes.
bool checkWritable(const QString& localPath, QString* reason)
{
    const std::wstring folder = native(QFileInfo(localPath).path());
    const DWORD folderAttributes = GetFileAttributesW(folder.c_str());
    if (folderAttributes == INVALID_FILE_ATTRIBUTES
        || !(folderAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        *reason = systemReason(
            folderAttributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_DIRECTORY);
        return false;
    }
    const std::wstring target = native(localPath);
    HANDLE file = CreateFileW(target.c_str(), GENERIC_WRITE,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD error = file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    if (file == INVALID_HANDLE_VALUE && error == ERROR_FILE_NOT_FOUND) {
        const std::wstring probe = target + L"."
            + QString::number(QRandomGenerator::global()->generate(), 36).toStdWString();
        file = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
            FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        error = file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    }
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return true;
    }
    if (heldByAnother(error))
        return true;
    *reason = systemReason(error);
    return false;
}

// The old line is overwritten first and the file cut to the new length after, so a reader may
// catch a mix of the two lines for a moment but never an empty file, as emptying it first would
// let it. The file is shared with every reader; one that did not share it with us is waited
// for like one in the way of the replace.
Replace writeInPlace(const QString& localPath, const QByteArray& line, QString* reason)
{
    const std::wstring target = native(localPath);
    HANDLE file = CreateFileW(target.c_str(), GENERIC_WRITE,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND)
            return Replace::Failed;
        *reason = systemReason(error);
        return heldByAnother(error) ? Replace::Busy : Replace::Failed;
    }
    // A file with another name may be some other file linked here; writing it in place would
    // put the result line there as well.
    BY_HANDLE_FILE_INFORMATION info {};
    if (GetFileInformationByHandle(file, &info) && info.nNumberOfLinks > 1) {
        CloseHandle(file);
        *reason = QStringLiteral("%1 has %2 names (hard links); reccap writes no file in place "
                                 "that another name also reaches")
                      .arg(QDir::toNativeSeparators(localPath))
                      .arg(info.nNumberOfLinks);
        return Replace::Failed;
    }
    LARGE_INTEGER end;
    end.QuadPart = line.size();
    const bool done = writeAll(file, line) && SetFilePointerEx(file, end, nullptr, FILE_BEGIN)
        && SetEndOfFile(file);
    const DWORD error = done ? ERROR_SUCCESS : GetLastError();
    CloseHandle(file);
    if (done)
        return Replace::Done;
    *reason = systemReason(error);
    return heldByAnother(error) ? Replace::Busy : Replace::Failed;
}

}
