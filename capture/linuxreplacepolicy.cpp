#include "replacepolicy.h"

#include "accountname.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace ReplacePolicy {

namespace {

    struct Descriptor {
        Descriptor() = default;
        explicit Descriptor(int value)
            : fd(value)
        {
        }
        Descriptor(const Descriptor&) = delete;
        Descriptor& operator=(Descriptor&& other) noexcept
        {
            std::swap(fd, other.fd);
            return *this;
        }
        ~Descriptor()
        {
            if (fd >= 0)
                ::close(fd);
        }
        int fd { -1 };
    };

    // Where the line goes: a name in a folder held open, so that the temporary file, the rename
    // and the in-place write all meet the folder that was looked at.
    struct Target {
        Descriptor folder;
        QByteArray name;
        QString path;
        // What stands at the name: st_mode is 0 when nothing does.
        struct stat entry { };
    };

    QString systemReason(int error = errno) { return QString::fromLocal8Bit(std::strerror(error)); }

    // A file with another name may be anyone's file that a co-user linked here, where hard links
    // to other users' files are allowed (fs.protected_hardlinks=0): writing it in place would
    // put the result line into, say, the operator's shell start-up file.
    QString secondName(const QString& path, nlink_t names)
    {
        return QStringLiteral("%1 has %2 names (hard links); reccap writes no file in place "
                              "that another name also reaches")
            .arg(path)
            .arg(names);
    }

    QString userName(uid_t uid)
    {
        const QString name = accountName(uid);
        return name.isEmpty() ? QStringLiteral("uid %1").arg(uid) : name;
    }

    // Follows the links at the result file's name that belong to this user or to root, and stops
    // at anything else: a file, nothing, or another user's link. In a folder shared with other
    // users such a link may lead anywhere this user may write, and the reader of the result file
    // would never see the line. Each link is opened itself and read through that descriptor, so
    // the target read is that of the link whose owner was checked, whatever is swapped in at its
    // name meanwhile.
    bool resolve(const QString& localPath, Target* target, QString* reason)
    {
        constexpr int maxLinks = 40;
        target->path = localPath;
        target->folder
            = Descriptor(::open(QFile::encodeName(QFileInfo(localPath).path()).constData(),
                O_PATH | O_DIRECTORY | O_CLOEXEC));
        for (int links = 0; target->folder.fd >= 0; ++links) {
            target->name = QFile::encodeName(QFileInfo(target->path).fileName());
            target->entry = {};
            const Descriptor entry(::openat(
                target->folder.fd, target->name.constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
            if (entry.fd < 0 && errno == ENOENT)
                return true;
            if (entry.fd < 0 || ::fstat(entry.fd, &target->entry) != 0)
                break;
            const uid_t owner = target->entry.st_uid;
            if (!S_ISLNK(target->entry.st_mode) || (owner != ::geteuid() && owner != 0))
                return true;
            if (links == maxLinks) {
                errno = ELOOP;
                break;
            }
            char linked[PATH_MAX];
            const ssize_t size = ::readlinkat(entry.fd, "", linked, sizeof linked);
            if (size < 0)
                break;
            if (size == sizeof linked) {
                errno = ENAMETOOLONG;
                break;
            }
            const QString next = QFile::decodeName(QByteArray(linked, size));
            target->path = QDir::cleanPath(QDir(QFileInfo(target->path).path()).filePath(next));
            target->folder = Descriptor(
                ::openat(target->folder.fd, QFile::encodeName(QFileInfo(next).path()).constData(),
                    O_PATH | O_DIRECTORY | O_CLOEXEC));
        }
        *reason = systemReason();
        return false;
    }

    // Positioned writes, so that the in-place write needs no seek before it. A short write is
    // continued with the rest; one that fails outright leaves the system's reason in errno.
    bool writeAll(int handle, const QByteArray& line)
    {
        for (qsizetype done = 0; done < line.size();) {
            const ssize_t written = ::pwrite(
                handle, line.constData() + done, size_t(line.size() - done), off_t(done));
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0) {
                errno = written < 0 ? errno : EIO;
                return false;
            }
            done += written;
        }
        return true;
    }

    // An administrator who prepared the result file for the program that reads it expects that
    // program to go on reading it, so the new file takes the old one's mode, owner and group
    // where this process may give them: root may give both, any owner may give a group it
    // belongs to. The mode comes last, as a change of owner may clear part of it.
    void keepModeOwnerAndGroup(int handle, const struct stat& old)
    {
        if (::fchown(handle, old.st_uid, old.st_gid) != 0) {
            [[maybe_unused]] const int groupOnly = ::fchown(handle, uid_t(-1), old.st_gid);
        }
        ::fchmod(handle, old.st_mode & 0777);
    }

}

std::chrono::milliseconds renameRetryLimit() { return std::chrono::milliseconds(0); }

// Not QSaveFile: it resolves a link at its file name and replaces the link's target, so a link
// that another user put in a shared result folder would take the line wherever it points. The
// complete line goes into a file of our own beside the name that resolve() ended at, and the
// rename puts it over that name, replacing whatever stands there, another user's link
// included, without following it. A reader sees the previous line or the new one, never an
// empty or partial file.
Replace replaceOnce(const QString& localPath, const QByteArray& line, QString* reason)
{
    Target target;
    if (!resolve(localPath, &target, reason))
        return Replace::Failed;
    // Another user's link has no mode or owner for the result file to take over.
    const bool keep = S_ISREG(target.entry.st_mode);
    QByteArray temporary;
    Descriptor file;
    do {
        temporary
            = target.name + '.' + QByteArray::number(QRandomGenerator::global()->generate(), 36);
        file = Descriptor(::openat(target.folder.fd, temporary.constData(),
            O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, keep ? 0600 : 0666));
    } while (file.fd < 0 && errno == EEXIST);
    if (file.fd < 0) {
        *reason = systemReason();
        return Replace::TemporaryRefused;
    }
    if (keep)
        keepModeOwnerAndGroup(file.fd, target.entry);
    const bool written = writeAll(file.fd, line) && ::fsync(file.fd) == 0;
    if (written
        && ::renameat(
               target.folder.fd, temporary.constData(), target.folder.fd, target.name.constData())
            == 0)
        return Replace::Done;
    const int error = errno;
    ::unlinkat(target.folder.fd, temporary.constData(), 0);
    *reason = systemReason(error);
    if (!written)
        return Replace::Failed;
    // In a sticky folder only the owner of a file may replace it; another user's file there that
    // this user may write is written in place, as in a folder that takes no new file.
    return error == EPERM ? Replace::TemporaryRefused : Replace::Busy;
}

// The same path through the links as the write's, and the same choice between the replace and
// the in-place write, asked of the system's permission check instead of tried: the record's ACK
// waits on it. The replace needs a folder that takes new files; where it does not, or where a
// sticky folder keeps another user's file from being replaced, only a file this user may write,
// and that has no other name, can take the line.
bool checkWritable(const QString& localPath, QString* reason)
{
    Target target;
    if (!resolve(localPath, &target, reason))
        return false;
    const mode_t kind = target.entry.st_mode & S_IFMT;
    if (kind == S_IFDIR) {
        *reason = systemReason(EISDIR);
        return false;
    }
    struct stat folder { };
    const bool folderTakesFiles = ::faccessat(target.folder.fd, ".", W_OK | X_OK, AT_EACCESS) == 0
        && ::fstat(target.folder.fd, &folder) == 0;
    const int folderError = errno;
    const uid_t self = ::geteuid();
    const bool stickyKeepsIt = (folder.st_mode & S_ISVTX) && self != 0
        && target.entry.st_uid != self && folder.st_uid != self;
    if (folderTakesFiles && (kind == 0 || !stickyKeepsIt))
        return true;
    if (kind != S_IFREG) {
        *reason = kind == S_IFLNK
            ? QStringLiteral("%1 is a symbolic link owned by another user (%2), which reccap "
                             "does not follow")
                  .arg(target.path, userName(target.entry.st_uid))
            : systemReason(folderTakesFiles ? EPERM : folderError);
        return false;
    }
    if (target.entry.st_nlink > 1) {
        *reason = secondName(target.path, target.entry.st_nlink);
        return false;
    }
    if (::faccessat(target.folder.fd, target.name.constData(), W_OK, AT_EACCESS) == 0)
        return true;
    *reason = systemReason();
    return false;
}

// The name is opened without following a link, as what stands there now need not be what
// resolve() saw, and without blocking, as another user may have put a pipe there. The new line
// goes over the old one from the start and the very next call cuts the file to its length: a
// crash in between leaves the old line's tail after the new one, but only for that moment, and
// a reader never finds the file empty.
Replace writeInPlace(const QString& localPath, const QByteArray& line, QString* reason)
{
    Target target;
    if (!resolve(localPath, &target, reason))
        return Replace::Failed;
    if (target.entry.st_mode == 0)
        return Replace::Failed;
    if (S_ISLNK(target.entry.st_mode)) {
        *reason = QStringLiteral(
            "%1 is a symbolic link owned by another user (%2), which reccap does not follow")
                      .arg(target.path, userName(target.entry.st_uid));
        return Replace::Failed;
    }
    const Descriptor file(::openat(
        target.folder.fd, target.name.constData(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat opened { };
    if (file.fd >= 0 && ::fstat(file.fd, &opened) == 0 && S_ISREG(opened.st_mode)
        && opened.st_nlink > 1) {
        *reason = secondName(target.path, opened.st_nlink);
        return Replace::Failed;
    }
    if (file.fd < 0 || !writeAll(file.fd, line) || ::ftruncate(file.fd, off_t(line.size())) != 0) {
        *reason = systemReason();
        return Replace::Failed;
    }
    return Replace::Done;
}

}
