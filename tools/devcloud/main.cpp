#include "devrelay.h"
#include "unixsignalnotifier.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonDocument>

#include <csignal>
#include <cstdio>

namespace {

void printLine(FILE *stream, const QString &line)
{
    std::fputs(line.toLocal8Bit().constData(), stream);
    std::fputc('\n', stream);
    // Scripts and tests wait for these lines through a pipe, where stdout is block-buffered.
    std::fflush(stream);
}

int fail(const QString &message)
{
    printLine(stderr, QStringLiteral("korvo-devcloud: ") + message);
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("korvo-devcloud"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Loopback signalling relay for developing and testing the Korvo host."));
    parser.addHelpOption();
    const QCommandLineOption hostOption(QStringLiteral("host"),
                                        QStringLiteral("Address to listen on (default 127.0.0.1)."),
                                        QStringLiteral("address"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("Port to listen on; 0 picks a free one "
                                                       "(default 8787)."),
                                        QStringLiteral("port"), QStringLiteral("8787"));
    const QCommandLineOption dbOption(QStringLiteral("db"),
                                      QStringLiteral("SQLite file for registered Macs and "
                                                     "approved iPhones (default: in memory)."),
                                      QStringLiteral("file"), QStringLiteral(":memory:"));
    const QCommandLineOption iceOption(
        QStringLiteral("ice-servers"),
        QStringLiteral("JSON array sent to a Mac as ice_servers before each offer."),
        QStringLiteral("json"));
    const QCommandLineOption requireMacOption(
        QStringLiteral("require-mac-registration"),
        QStringLiteral("Macs must send register_mac_device before they count as registered."));
    const QCommandLineOption tokenOption(QStringLiteral("token"),
                                         QStringLiteral("The only idToken accepted by register."),
                                         QStringLiteral("token"));
    parser.addOptions({hostOption, portOption, dbOption, iceOption, requireMacOption, tokenOption});
    parser.process(app);

    const QHostAddress host(parser.value(hostOption));
    if (host.isNull())
        return fail(QStringLiteral("not an IP address: ") + parser.value(hostOption));
    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    if (!portOk || port > 65535)
        return fail(QStringLiteral("not a port number: ") + parser.value(portOption));

    DevRelay relay(parser.value(dbOption));
    if (parser.isSet(iceOption)) {
        QJsonParseError error;
        const QJsonDocument ice = QJsonDocument::fromJson(parser.value(iceOption).toUtf8(), &error);
        if (error.error != QJsonParseError::NoError)
            return fail(QStringLiteral("--ice-servers is not JSON: ") + error.errorString());
        if (!ice.isArray())
            return fail(QStringLiteral("--ice-servers must be a JSON array"));
        relay.setIceServers(ice.array());
    }
    relay.setAutoRegisterMacs(!parser.isSet(requireMacOption));
    if (parser.isSet(tokenOption))
        relay.setRequiredToken(parser.value(tokenOption));

    QObject::connect(&relay, &DevRelay::logLine, &relay, [](const QString &line) {
        printLine(stdout, QStringLiteral("[devcloud] ") + line);
    });

    UnixSignalNotifier stopSignals({SIGINT, SIGTERM});
    QObject::connect(
        &stopSignals, &UnixSignalNotifier::signalReceived, &app, [&](int signalNumber) {
            printLine(stdout, QStringLiteral("devcloud: stopping on signal %1").arg(signalNumber));
            relay.close();
            app.quit();
        });

    if (!relay.listen(host, quint16(port))) {
        printLine(stderr, QStringLiteral("korvo-devcloud: cannot listen on %1:%2: %3")
                              .arg(host.toString())
                              .arg(port)
                              .arg(relay.errorString()));
        return 1;
    }
    printLine(stdout, QStringLiteral("devcloud: relay listening on ") + relay.url().toString());
    return app.exec();
}
