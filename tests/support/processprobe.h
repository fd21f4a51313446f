#pragma once

// Reading a child process's state straight from /proc: what it was really given, not what it
// says about itself.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QString>

#include <sys/types.h>

namespace ProcessProbe {

inline QByteArray procFile(pid_t pid, const char *name)
{
    QFile f(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(name)));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

/// NUL-separated entries (environ, cmdline) as a list.
inline QList<QByteArray> nulList(const QByteArray &raw)
{
    QList<QByteArray> entries = raw.split('\0');
    if (!entries.isEmpty() && entries.last().isEmpty())
        entries.removeLast();
    return entries;
}

/// Whether the exec has finished setting the new program up: posix_spawn returns as soon as
/// the child has let go of the parent's memory, a moment before its argv is readable.
inline bool hasExeced(pid_t pid)
{
    return !procFile(pid, "cmdline").isEmpty();
}

inline QString cwd(pid_t pid)
{
    return QFileInfo(QStringLiteral("/proc/%1/cwd").arg(pid)).symLinkTarget();
}

/// True once the process has been reaped: a zombie still has a /proc entry.
inline bool isGone(pid_t pid)
{
    return !QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid));
}

/// The numbers of the process's open file descriptors.
inline QList<int> openFds(pid_t pid)
{
    QList<int> fds;
    const QStringList names =
        QDir(QStringLiteral("/proc/%1/fd").arg(pid))
            .entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System);
    for (const QString &n : names)
        fds.append(n.toInt());
    std::sort(fds.begin(), fds.end());
    return fds;
}

/// A "Key:\tvalue" line of /proc/<pid>/status.
inline QByteArray statusField(pid_t pid, const QByteArray &key)
{
    const QList<QByteArray> lines = procFile(pid, "status").split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith(QByteArray(key + ':')))
            return line.mid(key.size() + 1).trimmed();
    }
    return {};
}

} // namespace ProcessProbe
