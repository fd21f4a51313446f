#pragma once

// A private X server (Xvfb) for one test process, on the first free display number from 90,
// set as DISPLAY while the object lives.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>
#include <QThread>

#include <csignal>
#include <sys/prctl.h>

class XvfbServer
{
public:
    explicit XvfbServer(const QString &geometry = QStringLiteral("1920x1080x24"))
    {
        for (int n = 90; n < 190; ++n) {
            if (QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(n)))
                continue;
            m_display = QStringLiteral(":%1").arg(n);
            m_process.setProgram(QStringLiteral("Xvfb"));
            m_process.setArguments({m_display, QStringLiteral("-screen"), QStringLiteral("0"),
                                    geometry, QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                                    QStringLiteral("-noreset")});
            m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            // Ends with the test process, also when a failed test aborts it.
            m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
            m_process.start();
            if (!m_process.waitForStarted(5000))
                return;
            const QString socket = QStringLiteral("/tmp/.X11-unix/X%1").arg(n);
            for (int i = 0; i < 100 && m_process.state() == QProcess::Running; ++i) {
                if (QFile::exists(socket)) {
                    qputenv("DISPLAY", m_display.toLocal8Bit());
                    m_ok = true;
                    return;
                }
                QThread::msleep(50);
            }
            m_process.kill();
            m_process.waitForFinished();
        }
    }
    ~XvfbServer()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(3000))
                m_process.kill();
        }
    }
    bool isRunning() const { return m_ok; }
    QString display() const { return m_display; }

private:
    QProcess m_process;
    QString m_display;
    bool m_ok = false;
};
