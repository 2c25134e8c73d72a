#include "Registry.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ddeml {

// The first of these that is set names the runtime folder; none set means
// the private fallback below /tmp. support::Paths::runtimeDir follows the
// same order for the server's lock file.
static QString runtimeFromEnvironment()
{
    for (const QString& v : {qEnvironmentVariable("TESMIRA_RUNTIME_DIR"),
                             qEnvironmentVariable("RUNTIME_DIRECTORY").section(QLatin1Char(':'), 0, 0),
                             qEnvironmentVariable("XDG_RUNTIME_DIR")})
        if (!v.isEmpty())
            return v;
    return {};
}

QString runtimeDir()
{
    const QString fromEnvironment = runtimeFromEnvironment();
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
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

// Creates the folder with the given mode, or checks an existing one: a real
// folder owned by us, its mode set to the given one.
static bool ensureOwnDir(const QString& path, mode_t mode, QString* error)
{
    const QByteArray p = QFile::encodeName(path);
    if (::mkdir(p.constData(), mode) != 0 && errno != EEXIST) {
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
    if ((st.st_mode & 0777) != mode && ::chmod(p.constData(), mode) != 0) {
        *error = QStringLiteral("Cannot set the mode of the folder %1: %2").arg(path, qt_error_string(errno));
        return false;
    }
    return true;
}

bool ensureServiceDir(QString* error)
{
    QString dummy;
    QString* err = error ? error : &dummy;
    if (runtimeFromEnvironment().isEmpty() && !ensureOwnDir(runtimeDir(), 0700, err))
        return false;
    struct stat st {};
    if (::stat(QFile::encodeName(runtimeDir()).constData(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *err = QStringLiteral("The runtime folder %1 does not exist").arg(runtimeDir());
        return false;
    }
    // The group may read and enter the service folder only when the
    // runtime folder lets it in (a system service's RuntimeDirectoryMode=0750).
    return ensureOwnDir(serviceDir(), 0700 | (st.st_mode & 0050), err);
}

mode_t serviceSocketMode()
{
    struct stat st {};
    const bool shared = ::stat(QFile::encodeName(serviceDir()).constData(), &st) == 0 && (st.st_mode & 0010);
    return shared ? 0660 : 0600;
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
