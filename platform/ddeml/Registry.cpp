#include "Registry.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ddeml {

QString runtimeDir()
{
    const QString xdg = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!xdg.isEmpty())
        return xdg;
    return QStringLiteral("/tmp/tesmira-runtime-%1").arg(::getuid());
}

QString serviceDir()
{
    return runtimeDir() + QStringLiteral("/dde");
}

QString tcpTokenPath(quint16 port)
{
    return serviceDir() + QStringLiteral("/tcp-%1.token").arg(port);
}

static bool ensurePrivateDir(const QString& path, QString* error)
{
    const QByteArray p = QFile::encodeName(path);
    if (::mkdir(p.constData(), 0700) != 0 && errno != EEXIST) {
        *error = QStringLiteral("Cannot create the folder %1: %2").arg(path, qt_error_string(errno));
        return false;
    }
    struct stat st {};
    if (::lstat(p.constData(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *error = QStringLiteral("%1 is not a folder").arg(path);
        return false;
    }
    if (st.st_uid != ::getuid()) {
        *error = QStringLiteral("The folder %1 belongs to another user").arg(path);
        return false;
    }
    if ((st.st_mode & 0777) != 0700 && ::chmod(p.constData(), 0700) != 0) {
        *error = QStringLiteral("Cannot make the folder %1 private: %2").arg(path, qt_error_string(errno));
        return false;
    }
    return true;
}

bool ensureServiceDir(QString* error)
{
    QString dummy;
    QString* err = error ? error : &dummy;
    if (qEnvironmentVariable("XDG_RUNTIME_DIR").isEmpty() && !ensurePrivateDir(runtimeDir(), err))
        return false;
    if (!QFileInfo(runtimeDir()).isDir()) {
        *err = QStringLiteral("The runtime folder %1 does not exist").arg(runtimeDir());
        return false;
    }
    return ensurePrivateDir(serviceDir(), err);
}

QString findServiceSocket(const QString& name)
{
    if (name.isEmpty() || name.contains(QLatin1Char('/')))
        return {};
    const QString dir = serviceDir();
    const QString exact = dir + QLatin1Char('/') + name;
    struct stat st {};
    if (::stat(QFile::encodeName(exact).constData(), &st) == 0 && S_ISSOCK(st.st_mode))
        return exact;
    const QStringList entries = QDir(dir).entryList(QDir::System | QDir::Files | QDir::Hidden);
    for (const QString& e : entries) {
        if (e.compare(name, Qt::CaseInsensitive) != 0)
            continue;
        const QString path = dir + QLatin1Char('/') + e;
        if (::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISSOCK(st.st_mode))
            return path;
    }
    return {};
}

// 128 bits from the system's random source, as hexadecimal text.
QByteArray randomToken()
{
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    return QByteArray(reinterpret_cast<const char*>(words), sizeof(words)).toHex();
}

// Writes bytes to a file that only this user can read, replacing any file
// (a dead server's) of that name.
bool writePrivateFile(const QString& path, const QByteArray& bytes, QString* error)
{
    const QByteArray p = QFile::encodeName(path);
    ::unlink(p.constData());
    const int fd = ::open(p.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = QStringLiteral("%1: %2").arg(path, qt_error_string(errno));
        return false;
    }
    const bool ok = ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    const int err = errno;
    ::close(fd);
    if (!ok) {
        ::unlink(p.constData());
        *error = QStringLiteral("%1: %2").arg(path, qt_error_string(err));
    }
    return ok;
}

// Compares in a time that does not depend on where the texts differ.
bool sameToken(const QByteArray& given, const QByteArray& token)
{
    if (token.isEmpty() || given.size() != token.size())
        return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < token.size(); ++i)
        diff |= static_cast<unsigned char>(given[i] ^ token[i]);
    return diff == 0;
}

} // namespace ddeml
