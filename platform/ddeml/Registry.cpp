#include "Registry.h"

#include <QDir>
#include <QFileInfo>

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

} // namespace ddeml
