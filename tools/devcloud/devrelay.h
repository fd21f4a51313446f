#pragma once

#include <QHash>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QUrl>

#include <unordered_map>

class QWebSocket;
class QWebSocketServer;

/// The signalling relay the host talks to during development and in tests: one process-local
/// WebSocket server on loopback that registers Macs and iPhones, pairs them and forwards their
/// signalling messages to each other.
///
/// Everything the relay does is reported through logLine(); the executable prints those lines,
/// tests may watch them. Registered Macs and approved iPhones live in SQLite, in memory unless a
/// file is given, so several relays can coexist in one test process.
class DevRelay : public QObject
{
    Q_OBJECT

public:
    /// Messages larger than this (in UTF-8) are dropped with a log line; the connection stays.
    static constexpr qsizetype MaxMessageBytes = 1024 * 1024;

    /// Opens (creating if need be) the database at \a databasePath; check errorString() if
    /// listen() later fails.
    explicit DevRelay(const QString &databasePath = QStringLiteral(":memory:"),
                      QObject *parent = nullptr);
    ~DevRelay() override;

    bool listen(const QHostAddress &address = QHostAddress(QHostAddress::LocalHost),
                quint16 port = 0);
    /// Stops listening and closes every client connection with 1001 (going away), so a test can
    /// make the relay vanish under a connected host. listen() may be called again afterwards.
    void close();
    bool isListening() const;
    quint16 port() const;
    /// ws://HOST:PORT/ws while listening, otherwise an empty URL.
    QUrl url() const;
    QString errorString() const;

    /// When set, register must carry exactly this idToken; otherwise any non-empty one passes.
    void setRequiredToken(const QString &token);
    /// When on (the default), every Mac counts as registered without register_mac_device.
    void setAutoRegisterMacs(bool on);
    /// Test hook: when off, pings are swallowed, so the client's keep-alive timeout can fire.
    void setAnswerPings(bool on);
    /// The array sent to a Mac as ice_servers before each offer is forwarded to it.
    void setIceServers(const QJsonArray &servers);
    QJsonArray iceServers() const;

    bool registerMac(const QString &macDeviceId);
    bool isMacRegistered(const QString &macDeviceId) const;
    bool approveIphone(const QString &macDeviceId, const QString &iphoneDeviceId,
                       const QString &iphoneName);
    bool isIphoneApproved(const QString &macDeviceId, const QString &iphoneDeviceId) const;

    /// Whether a device with this id is connected and registered (a Mac still waiting for
    /// register_mac_device is not).
    bool isConnected(const QString &deviceId) const;
    /// Sends to the connection that registered as \a deviceId, also to a Mac still waiting for
    /// register_mac_device. Returns false if there is no such connection.
    bool sendTo(const QString &deviceId, const QJsonObject &message);
    /// Sends \a bytes as they are in one binary frame, or, when \a binary is false, in one text
    /// frame (Qt re-encodes text frames, so invalid UTF-8 arrives as U+FFFD).
    bool sendRawTo(const QString &deviceId, const QByteArray &bytes, bool binary);

Q_SIGNALS:
    /// Every well-formed message from a connection that has identified itself, and every
    /// register attempt (with the deviceId it claims, even when it is then refused).
    void messageReceived(const QString &deviceId, const QJsonObject &message);
    /// A connection that had identified itself went away on its own: \a closeCode is the code
    /// of the client's close frame, or 1006 when the TCP connection ended without one.
    /// Connections the relay closes itself (replaced, close()) are not reported.
    void clientDisconnected(const QString &deviceId, int closeCode);
    void logLine(const QString &line);

private:
    enum class DeviceKind
    {
        Unknown,
        Mac,
        Iphone
    };
    enum class State
    {
        Anonymous,
        AwaitingMacRegistration,
        Registered
    };

    struct Connection
    {
        QString deviceId;
        QString deviceName;
        DeviceKind kind = DeviceKind::Unknown;
        State state = State::Anonymous;
        bool sawCloseFrame = false;
        bool closedByRelay = false;
    };

    struct PendingPairing
    {
        QString macDeviceId;
        QString iphoneDeviceId;
        QString iphoneName;
    };

    void onNewConnection();
    void onFrame(QWebSocket *socket, const QByteArray &bytes, bool binary);
    void onDisconnected(QWebSocket *socket);

    void handleMessage(QWebSocket *socket, const QJsonObject &message);
    void handleRegister(QWebSocket *socket, const QJsonObject &message);
    void handleMacMessage(QWebSocket *socket, const QString &type, const QJsonObject &message);
    void handleIphoneMessage(QWebSocket *socket, const QString &type, const QJsonObject &message);
    void handlePairingAnswer(QWebSocket *socket, const QJsonObject &message, bool approved);

    void bind(QWebSocket *socket, const QString &deviceId);
    void unbind(QWebSocket *socket);
    QWebSocket *registeredSocket(const QString &deviceId, DeviceKind kind) const;
    void send(QWebSocket *socket, const QJsonObject &message);
    void log(const QString &line);
    QString describe(QWebSocket *socket) const;

    bool openDatabase(const QString &path);
    bool execute(const QString &statement, const QVariantList &values);
    bool exists(const QString &statement, const QVariantList &values) const;

    QWebSocketServer *m_server = nullptr;
    // Node-based so that references survive the re-entrant disconnects a close() can cause.
    std::unordered_map<QWebSocket *, Connection> m_connections;
    QHash<QString, QWebSocket *> m_byDeviceId;
    QHash<QString, PendingPairing> m_pendingPairings;

    QString m_dbConnectionName;
    QString m_errorString;
    QString m_requiredToken;
    QJsonArray m_iceServers;
    bool m_autoRegisterMacs = true;
    bool m_answerPings = true;
};
