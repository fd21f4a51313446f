#pragma once

// A throw-away home folder for the shells a test starts, with a startup file that keeps zsh's
// output predictable (no first-run wizard, a short prompt), set as the host's HOME while the
// object lives.

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>
#include <QtGlobal>

class ShellHome
{
public:
    ShellHome()
        : m_hadHome(qEnvironmentVariableIsSet("HOME"))
        , m_oldHome(qgetenv("HOME"))
    {
        QFile rc(m_dir.path() + QStringLiteral("/.zshrc"));
        if (rc.open(QIODevice::WriteOnly))
            rc.write("PS1='%# '\nunsetopt PROMPT_SP\n");
        qputenv("HOME", m_dir.path().toLocal8Bit());
    }
    ~ShellHome()
    {
        if (m_hadHome)
            qputenv("HOME", m_oldHome);
        else
            qunsetenv("HOME");
    }
    QString path() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
    bool m_hadHome;
    QByteArray m_oldHome;
};
