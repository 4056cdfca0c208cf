#include "server/exchange/OutputFile.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kxexchange {

namespace {

QString systemError() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Makes the folder's entries durable: the rename is on the disk, not only in the cache.
void syncFolder(const QString &folder) {
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

OutputFile::~OutputFile() {
    if (m_done)
        return;
    m_file.close();
    if (!m_path.isEmpty())
        ::unlink(QFile::encodeName(m_path).constData());
    if (!m_folder.isEmpty())
        ::rmdir(QFile::encodeName(m_folder).constData());
}

bool OutputFile::fail(const QString &what) {
    m_error = QStringLiteral("%1 kann nicht geschrieben werden (%2)").arg(m_target, what);
    return false;
}

bool OutputFile::prepareMode() {
    // lstat, not stat: a link at the target is replaced by the rename, never written through, and
    // its target's mode (a planted link to a world-readable file) must not become the new file's.
    struct stat info {};
    if (::lstat(QFile::encodeName(m_target).constData(), &info) == 0) {
        if (S_ISLNK(info.st_mode))
            return true;
        if (!S_ISREG(info.st_mode))
            return fail(QStringLiteral("es ist keine gewöhnliche Datei"));
        m_mode = info.st_mode & 07777;
    }
    return true;
}

bool OutputFile::open() {
    if (!prepareMode())
        return false;
    const QFileInfo info(m_target);
    // mkstemp creates with O_EXCL: a link or file of the same name makes it pick another name.
    QByteArray pattern =
        QFile::encodeName(info.absolutePath() + QStringLiteral("/.") + info.fileName() + QStringLiteral(".XXXXXX"));
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0)
        return fail(systemError());
    m_path = QFile::decodeName(pattern);
    if (::fchmod(fd, m_mode) != 0 || !m_file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return fail(systemError());
    }
    return true;
}

bool OutputFile::openPath() {
    if (!prepareMode())
        return false;
    const QFileInfo info(m_target);
    QByteArray pattern =
        QFile::encodeName(info.absolutePath() + QStringLiteral("/.") + info.fileName() + QStringLiteral(".XXXXXX"));
    if (!::mkdtemp(pattern.data())) // 0700, ours alone: nobody can plant a link in it
        return fail(systemError());
    m_folder = QFile::decodeName(pattern);
    m_path = m_folder + QStringLiteral("/") + info.fileName();
    return true;
}

bool OutputFile::commit() {
    if (m_file.isOpen()) {
        if (!m_file.flush())
            return fail(m_file.errorString());
    }
    const int fd = m_file.isOpen() ? m_file.handle()
                                   : ::open(QFile::encodeName(m_path).constData(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return fail(systemError());
    const bool synced = ::fchmod(fd, m_mode) == 0 && ::fsync(fd) == 0;
    const int syncError = errno;
    if (!m_file.isOpen())
        ::close(fd);
    m_file.close();
    if (!synced) {
        errno = syncError;
        return fail(systemError());
    }
    if (::rename(QFile::encodeName(m_path).constData(), QFile::encodeName(m_target).constData()) != 0)
        return fail(systemError());
    m_done = true;
    if (!m_folder.isEmpty())
        ::rmdir(QFile::encodeName(m_folder).constData());
    syncFolder(QFileInfo(m_target).absolutePath());
    return true;
}

} // namespace kxexchange
