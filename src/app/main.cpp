#include "localterminal.h"
#include "sessionstore.h"

#include <QCommandLineParser>
#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("korvo-host"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KORVO_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Korvo host: reach this computer from your paired phone."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption terminalOption(
        QStringLiteral("terminal"),
        QStringLiteral("Run a persistent shell session in this terminal (the default for now)."));
    parser.addOption(terminalOption);
    parser.process(app);

    LocalTerminal terminal(SessionStore::shared());
    if (!terminal.start())
        return 2;
    return QCoreApplication::exec();
}
