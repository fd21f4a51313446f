#include "devrelay.h"

#include <QJsonDocument>
#include <QPointer>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringDecoder>
#include <QUuid>
#include <QWebSocket>
#include <QWebSocketServer>

namespace {

// Qt closes a connection (1009) on anything above its own limit, but an oversized message
// must only be dropped. Qt's limit therefore sits above ours and merely stops a runaway
// peer from making us buffer gigabytes.
constexpr quint64 QtSizeCeiling = 4 * DevRelay::MaxMessageBytes;

constexpr int AbnormalClosure = QWebSocketProtocol::CloseCodeAbnormalDisconnection;

QString key(const char *name)
{
    return QString::fromLatin1(name);
}

QJsonObject errorMessage(const QString &text)
{
    return {{key("type"), key("error")}, {key("message"), text}};
}

QJsonObject registeredMessage()
{
    return {{key("type"), key("registered")}, {key("success"), true}};
}

QString textField(const QJsonObject &message, const char *name)
{
    return message.value(key(name)).toString();
}

} // namespace

DevRelay::DevRelay(const QString &databasePath, QObject *parent)
    : QObject(parent)
    , m_server(new QWebSocketServer(QStringLiteral("korvo-devcloud"),
                                    QWebSocketServer::NonSecureMode, this))
    , m_iceServers({QJsonObject{{key("urls"), QJsonArray{key("stun:127.0.0.1:3478")}}}})
{
    connect(m_server, &QWebSocketServer::newConnection, this, &DevRelay::onNewConnection);
    openDatabase(databasePath);
}

DevRelay::~DevRelay()
{
    // The sockets die with the server below; their last signals must not reach a relay that is
    // half destroyed.
    for (const auto &entry : m_connections)
        entry.first->disconnect(this);
    m_server->disconnect(this);
    delete m_server;
    m_connections.clear();

    {
        QSqlDatabase db = QSqlDatabase::database(m_dbConnectionName, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(m_dbConnectionName);
}

bool DevRelay::listen(const QHostAddress &address, quint16 port)
{
    if (!QSqlDatabase::database(m_dbConnectionName, false).isOpen())
        return false; // m_errorString says why
    if (m_server->isListening()) {
        m_errorString = QStringLiteral("already listening on ") + url().toString();
        return false;
    }
    if (!m_server->listen(address, port)) {
        m_errorString = m_server->errorString();
        return false;
    }
    m_errorString.clear();
    log(QStringLiteral("listening on ") + url().toString());
    return true;
}

void DevRelay::close()
{
    m_server->close();

    QList<QWebSocket *> sockets;
    for (auto &[socket, connection] : m_connections) {
        connection.closedByRelay = true;
        sockets.append(socket);
    }
    m_byDeviceId.clear();
    m_pendingPairings.clear();
    // close() may finish the TCP connection at once and re-enter onDisconnected().
    for (QWebSocket *socket : std::as_const(sockets))
        socket->close(QWebSocketProtocol::CloseCodeGoingAway, QStringLiteral("relay closing"));
    log(QStringLiteral("closed; dropped %1 connection(s)").arg(sockets.size()));
}

bool DevRelay::isListening() const
{
    return m_server->isListening();
}

quint16 DevRelay::port() const
{
    return m_server->isListening() ? m_server->serverPort() : 0;
}

QUrl DevRelay::url() const
{
    if (!m_server->isListening())
        return {};
    QUrl url;
    url.setScheme(QStringLiteral("ws"));
    url.setHost(m_server->serverAddress().toString());
    url.setPort(m_server->serverPort());
    url.setPath(QStringLiteral("/ws"));
    return url;
}

QString DevRelay::errorString() const
{
    return m_errorString;
}

void DevRelay::setRequiredToken(const QString &token)
{
    m_requiredToken = token;
}

void DevRelay::setAutoRegisterMacs(bool on)
{
    m_autoRegisterMacs = on;
}

void DevRelay::setAnswerPings(bool on)
{
    m_answerPings = on;
}

void DevRelay::setIceServers(const QJsonArray &servers)
{
    m_iceServers = servers;
}

QJsonArray DevRelay::iceServers() const
{
    return m_iceServers;
}

bool DevRelay::registerMac(const QString &macDeviceId)
{
    if (macDeviceId.isEmpty())
        return false;
    return execute(QStringLiteral("INSERT OR IGNORE INTO macs (device_id) VALUES (?)"),
                   {macDeviceId});
}

bool DevRelay::isMacRegistered(const QString &macDeviceId) const
{
    return exists(QStringLiteral("SELECT 1 FROM macs WHERE device_id = ?"), {macDeviceId});
}

bool DevRelay::approveIphone(const QString &macDeviceId, const QString &iphoneDeviceId,
                             const QString &iphoneName)
{
    if (macDeviceId.isEmpty() || iphoneDeviceId.isEmpty())
        return false;
    return execute(QStringLiteral("INSERT OR REPLACE INTO approved_iphones"
                                  " (mac_device_id, iphone_device_id, iphone_name)"
                                  " VALUES (?, ?, ?)"),
                   {macDeviceId, iphoneDeviceId, iphoneName});
}

bool DevRelay::isIphoneApproved(const QString &macDeviceId, const QString &iphoneDeviceId) const
{
    return exists(QStringLiteral("SELECT 1 FROM approved_iphones"
                                 " WHERE mac_device_id = ? AND iphone_device_id = ?"),
                  {macDeviceId, iphoneDeviceId});
}

bool DevRelay::isConnected(const QString &deviceId) const
{
    QWebSocket *socket = m_byDeviceId.value(deviceId);
    return socket && m_connections.at(socket).state == State::Registered;
}

bool DevRelay::sendTo(const QString &deviceId, const QJsonObject &message)
{
    QWebSocket *socket = m_byDeviceId.value(deviceId);
    if (!socket)
        return false;
    send(socket, message);
    return true;
}

bool DevRelay::sendRawTo(const QString &deviceId, const QByteArray &bytes, bool binary)
{
    QWebSocket *socket = m_byDeviceId.value(deviceId);
    if (!socket)
        return false;
    if (binary)
        socket->sendBinaryMessage(bytes);
    else
        socket->sendTextMessage(QString::fromUtf8(bytes));
    return true;
}

void DevRelay::onNewConnection()
{
    while (QWebSocket *socket = m_server->nextPendingConnection()) {
        socket->setParent(this); // ours to delete, also when it never disconnects
        socket->setMaxAllowedIncomingFrameSize(QtSizeCeiling);
        socket->setMaxAllowedIncomingMessageSize(QtSizeCeiling);

        const QString path = socket->requestUrl().path();
        if (path != QLatin1String("/ws")) {
            log(QStringLiteral("refused a connection to path \"%1\"").arg(path));
            connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
            socket->close(QWebSocketProtocol::CloseCodePolicyViolated,
                          QStringLiteral("unknown path"));
            continue;
        }

        m_connections.emplace(socket, Connection{});
        connect(socket, &QWebSocket::textMessageReceived, this,
                [this, socket](const QString &text) { onFrame(socket, text.toUtf8(), false); });
        connect(socket, &QWebSocket::binaryMessageReceived, this,
                [this, socket](const QByteArray &bytes) { onFrame(socket, bytes, true); });
        // Qt reports closeCode() 1000 also when the peer just dropped the TCP connection;
        // only a close handshake (ours or the peer's) passes through aboutToClose.
        connect(socket, &QWebSocket::aboutToClose, this, [this, socket] {
            if (auto it = m_connections.find(socket); it != m_connections.end())
                it->second.sawCloseFrame = true;
        });
        connect(socket, &QWebSocket::disconnected, this,
                [this, socket] { onDisconnected(socket); });
    }
}

void DevRelay::onFrame(QWebSocket *socket, const QByteArray &bytes, bool binary)
{
    const auto it = m_connections.find(socket);
    if (it == m_connections.end() || it->second.closedByRelay)
        return;

    const QString who = describe(socket);
    if (bytes.size() > MaxMessageBytes) {
        log(who + QStringLiteral(": ignored a message of %1 bytes (limit %2)")
                      .arg(bytes.size())
                      .arg(MaxMessageBytes));
        return;
    }
    // The JSON parser would refuse these bytes as well; checking first makes the log say why.
    if (binary) {
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString decoded = decoder.decode(bytes);
        if (decoder.hasError()) {
            log(who + QStringLiteral(": ignored a binary frame that is not UTF-8"));
            return;
        }
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        log(who + QStringLiteral(": ignored a frame that is not JSON (%1 at offset %2)")
                      .arg(parseError.errorString())
                      .arg(parseError.offset));
        return;
    }
    if (!document.isObject()) {
        log(who + QStringLiteral(": ignored JSON that is not an object"));
        return;
    }
    handleMessage(socket, document.object());
}

void DevRelay::onDisconnected(QWebSocket *socket)
{
    socket->deleteLater();
    const auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    const Connection connection = std::move(it->second);
    m_connections.erase(it);
    if (m_byDeviceId.value(connection.deviceId) == socket)
        m_byDeviceId.remove(connection.deviceId);

    if (connection.closedByRelay || connection.deviceId.isEmpty())
        return;
    const int code = connection.sawCloseFrame ? int(socket->closeCode()) : AbnormalClosure;
    log(QStringLiteral("%1 disconnected (close code %2)").arg(connection.deviceId).arg(code));
    Q_EMIT clientDisconnected(connection.deviceId, code);
}

void DevRelay::handleMessage(QWebSocket *socket, const QJsonObject &message)
{
    const QJsonValue typeValue = message.value(key("type"));
    if (!typeValue.isString()) {
        log(describe(socket) + QStringLiteral(": ignored a message without a type"));
        return;
    }
    const QString type = typeValue.toString();

    // A test may react to the signal by closing the relay or the client; after that this
    // message must go nowhere.
    const QPointer<QWebSocket> guard(socket);
    const auto stillOpen = [this, &guard] {
        if (!guard)
            return false;
        const auto it = m_connections.find(guard.data());
        return it != m_connections.end() && !it->second.closedByRelay;
    };

    if (type == QLatin1String("register")) {
        Q_EMIT messageReceived(textField(message, "deviceId"), message);
        if (stillOpen())
            handleRegister(socket, message);
        return;
    }

    const Connection &connection = m_connections.at(socket);
    if (connection.state != State::Anonymous) {
        Q_EMIT messageReceived(connection.deviceId, message);
        if (!stillOpen())
            return;
    }

    if (type == QLatin1String("ping")) {
        if (m_answerPings)
            send(socket, {{key("type"), key("pong")}});
        return;
    }

    switch (connection.state) {
    case State::Anonymous:
        log(QStringLiteral("ignored %1 from a connection that has not registered").arg(type));
        return;
    case State::AwaitingMacRegistration:
        if (type != QLatin1String("register_mac_device")) {
            log(QStringLiteral("ignored %1 from unregistered Mac %2")
                    .arg(type, connection.deviceId));
            return;
        }
        break;
    case State::Registered:
        break;
    }

    if (connection.kind == DeviceKind::Mac)
        handleMacMessage(socket, type, message);
    else
        handleIphoneMessage(socket, type, message);
}

void DevRelay::handleRegister(QWebSocket *socket, const QJsonObject &message)
{
    const QJsonValue token = message.value(key("idToken"));
    const QString claimedId = textField(message, "deviceId");
    if (!token.isString() || token.toString().isEmpty() ||
        (!m_requiredToken.isEmpty() && token.toString() != m_requiredToken)) {
        log(QStringLiteral("register of \"%1\" refused: invalid ID token").arg(claimedId));
        send(socket, errorMessage(QStringLiteral("Invalid ID token")));
        return;
    }

    const QJsonValue deviceId = message.value(key("deviceId"));
    const QJsonValue deviceType = message.value(key("deviceType"));
    const QJsonValue deviceName = message.value(key("deviceName"));
    const bool isMac = deviceType == QJsonValue(key("mac"));
    const bool isIphone = deviceType == QJsonValue(key("iphone"));
    if (!deviceId.isString() || claimedId.isEmpty() || !(isMac || isIphone) ||
        !deviceName.isString()) {
        log(QStringLiteral("register of \"%1\" refused: deviceId, deviceType or deviceName"
                           " missing or malformed")
                .arg(claimedId));
        send(socket, errorMessage(QStringLiteral("Invalid registration")));
        return;
    }

    bind(socket, claimedId);
    Connection &connection = m_connections.at(socket);
    connection.kind = isMac ? DeviceKind::Mac : DeviceKind::Iphone;
    connection.deviceName = deviceName.toString();

    if (isMac && !m_autoRegisterMacs && !isMacRegistered(claimedId)) {
        connection.state = State::AwaitingMacRegistration;
        log(QStringLiteral("Mac %1 connected but is not registered").arg(claimedId));
        send(socket, {{key("type"), key("device_not_registered")}});
        return;
    }
    connection.state = State::Registered;
    log(QStringLiteral("%1 %2 (\"%3\") registered")
            .arg(isMac ? QStringLiteral("Mac") : QStringLiteral("iPhone"), claimedId,
                 connection.deviceName));
    send(socket, registeredMessage());
}

void DevRelay::handleMacMessage(QWebSocket *socket, const QString &type, const QJsonObject &message)
{
    Connection &connection = m_connections.at(socket);
    const QString macId = connection.deviceId;

    if (type == QLatin1String("register_mac_device")) {
        if (!registerMac(macId)) {
            send(socket, errorMessage(QStringLiteral("Could not register the Mac")));
            return;
        }
        connection.state = State::Registered;
        log(QStringLiteral("Mac %1 registered itself").arg(macId));
        send(socket, registeredMessage());
        return;
    }
    if (type == QLatin1String("approve_iphone") || type == QLatin1String("reject_iphone")) {
        handlePairingAnswer(socket, message, type == QLatin1String("approve_iphone"));
        return;
    }
    if (type == QLatin1String("disconnect")) {
        log(QStringLiteral("Mac %1 announced it is disconnecting").arg(macId));
        return;
    }

    const QString targetId = textField(message, "targetDeviceId");
    if (targetId.isEmpty()) {
        log(QStringLiteral("ignored %1 from Mac %2: no targetDeviceId").arg(type, macId));
        return;
    }
    QWebSocket *iphone = registeredSocket(targetId, DeviceKind::Iphone);
    if (!iphone) {
        log(QStringLiteral("dropped %1 from Mac %2: iPhone %3 is not connected")
                .arg(type, macId, targetId));
        return;
    }
    QJsonObject forwarded = message;
    forwarded.insert(key("fromDeviceId"), macId);
    log(QStringLiteral("%1 %2 -> %3").arg(type, macId, targetId));
    send(iphone, forwarded);
}

void DevRelay::handleIphoneMessage(QWebSocket *socket, const QString &type,
                                   const QJsonObject &message)
{
    const Connection &connection = m_connections.at(socket);
    const QString iphoneId = connection.deviceId;

    const QString macId = textField(message, "targetDeviceId");
    if (macId.isEmpty()) {
        log(QStringLiteral("ignored %1 from iPhone %2: no targetDeviceId").arg(type, iphoneId));
        return;
    }
    QWebSocket *mac = registeredSocket(macId, DeviceKind::Mac);
    if (!mac) {
        log(QStringLiteral("refused %1 from iPhone %2: Mac %3 is offline")
                .arg(type, iphoneId, macId));
        send(socket, errorMessage(QStringLiteral("Mac is offline")));
        return;
    }

    if (type == QLatin1String("pair_request")) {
        const QJsonValue nameValue = message.value(key("iphoneName"));
        const QString iphoneName =
            nameValue.isString() ? nameValue.toString() : connection.deviceName;
        const QString registrationId = QUuid::createUuid().toString(QUuid::WithoutBraces);
        m_pendingPairings.insert(registrationId, {macId, iphoneId, iphoneName});
        log(QStringLiteral("pair_request %1 -> %2 (registration %3)")
                .arg(iphoneId, macId, registrationId));
        send(mac, {{key("type"), key("iphone_registration_request")},
                   {key("registrationId"), registrationId},
                   {key("iphoneDeviceId"), iphoneId},
                   {key("iphoneName"), iphoneName}});
        return;
    }

    QJsonObject forwarded = message;
    forwarded.remove(key("targetDeviceId"));
    forwarded.insert(key("fromDeviceId"), iphoneId);
    if (type == QLatin1String("connection_request"))
        forwarded.insert(key("isApproved"), isIphoneApproved(macId, iphoneId));

    if (type == QLatin1String("offer")) {
        // The Mac builds its peer connection from these, so they have to be there first.
        send(mac, {{key("type"), key("ice_servers")}, {key("iceServers"), m_iceServers}});
        log(QStringLiteral("offer %1 -> %2 (after ice_servers)").arg(iphoneId, macId));
    } else {
        log(QStringLiteral("%1 %2 -> %3").arg(type, iphoneId, macId));
    }
    send(mac, forwarded);
}

void DevRelay::handlePairingAnswer(QWebSocket *socket, const QJsonObject &message, bool approved)
{
    const QString macId = m_connections.at(socket).deviceId;
    const QString type = textField(message, "type");
    const QString registrationId = textField(message, "registrationId");

    const auto it = m_pendingPairings.constFind(registrationId);
    // A Mac answers only for requests that were sent to it.
    if (it == m_pendingPairings.cend() || it->macDeviceId != macId) {
        log(QStringLiteral("ignored %1 from Mac %2: unknown registrationId \"%3\"")
                .arg(type, macId, registrationId));
        return;
    }
    // The answer echoes what the relay asked; a different iPhone means the Mac mixed up its
    // requests, which is a bug worth seeing rather than quietly approving someone.
    if (textField(message, "iphoneDeviceId") != it->iphoneDeviceId) {
        log(QStringLiteral("ignored %1 from Mac %2: iphoneDeviceId \"%3\" does not match"
                           " registration %4 (iPhone %5)")
                .arg(type, macId, textField(message, "iphoneDeviceId"), registrationId,
                     it->iphoneDeviceId));
        return;
    }
    const PendingPairing pairing = *it;
    m_pendingPairings.erase(it);

    if (approved) {
        const QJsonValue nameValue = message.value(key("iphoneName"));
        approveIphone(macId, pairing.iphoneDeviceId,
                      nameValue.isString() ? nameValue.toString() : pairing.iphoneName);
    }

    QWebSocket *iphone = registeredSocket(pairing.iphoneDeviceId, DeviceKind::Iphone);
    if (!iphone) {
        log(QStringLiteral("%1 %2 -> %3: iPhone is no longer connected")
                .arg(type, macId, pairing.iphoneDeviceId));
        return;
    }
    log(QStringLiteral("%1 %2 -> %3").arg(type, macId, pairing.iphoneDeviceId));
    send(iphone, {{key("type"), key("pair_result")},
                  {key("approved"), approved},
                  {key("registrationId"), registrationId},
                  {key("macDeviceId"), macId}});
}

void DevRelay::bind(QWebSocket *socket, const QString &deviceId)
{
    if (m_connections.at(socket).deviceId != deviceId)
        unbind(socket);

    QWebSocket *older = m_byDeviceId.value(deviceId);
    m_byDeviceId.insert(deviceId, socket);
    m_connections.at(socket).deviceId = deviceId;

    if (older && older != socket) {
        Connection &replaced = m_connections.at(older);
        replaced.closedByRelay = true;
        log(QStringLiteral("%1 registered again; closing its older connection").arg(deviceId));
        older->close(QWebSocketProtocol::CloseCodeNormal,
                     QStringLiteral("replaced by a newer connection"));
    }
}

void DevRelay::unbind(QWebSocket *socket)
{
    Connection &connection = m_connections.at(socket);
    if (!connection.deviceId.isEmpty() && m_byDeviceId.value(connection.deviceId) == socket)
        m_byDeviceId.remove(connection.deviceId);
    connection = Connection{};
}

QWebSocket *DevRelay::registeredSocket(const QString &deviceId, DeviceKind kind) const
{
    QWebSocket *socket = m_byDeviceId.value(deviceId);
    if (!socket)
        return nullptr;
    const Connection &connection = m_connections.at(socket);
    const bool usable = connection.state == State::Registered && connection.kind == kind &&
                        !connection.closedByRelay;
    return usable ? socket : nullptr;
}

void DevRelay::send(QWebSocket *socket, const QJsonObject &message)
{
    socket->sendTextMessage(
        QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
}

void DevRelay::log(const QString &line)
{
    Q_EMIT logLine(line);
}

QString DevRelay::describe(QWebSocket *socket) const
{
    const auto it = m_connections.find(socket);
    if (it != m_connections.end() && !it->second.deviceId.isEmpty())
        return it->second.deviceId;
    return QStringLiteral("connection from port %1").arg(socket->peerPort());
}

bool DevRelay::openDatabase(const QString &path)
{
    m_dbConnectionName = QStringLiteral("devcloud-") + QUuid::createUuid().toString();
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_dbConnectionName);
    db.setDatabaseName(path);
    if (!db.open()) {
        m_errorString =
            QStringLiteral("cannot open database %1: %2").arg(path, db.lastError().text());
        return false;
    }
    const bool created =
        execute(QStringLiteral("CREATE TABLE IF NOT EXISTS macs (device_id TEXT PRIMARY KEY)"),
                {}) &&
        execute(QStringLiteral("CREATE TABLE IF NOT EXISTS approved_iphones ("
                               " mac_device_id TEXT NOT NULL,"
                               " iphone_device_id TEXT NOT NULL,"
                               " iphone_name TEXT NOT NULL,"
                               " PRIMARY KEY (mac_device_id, iphone_device_id))"),
                {});
    if (!created) {
        m_errorString = QStringLiteral("cannot set up database %1").arg(path);
        db.close();
        return false;
    }
    return true;
}

bool DevRelay::execute(const QString &statement, const QVariantList &values)
{
    QSqlQuery query(QSqlDatabase::database(m_dbConnectionName, false));
    query.prepare(statement);
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (!query.exec()) {
        log(QStringLiteral("database error: ") + query.lastError().text());
        return false;
    }
    return true;
}

bool DevRelay::exists(const QString &statement, const QVariantList &values) const
{
    QSqlQuery query(QSqlDatabase::database(m_dbConnectionName, false));
    query.prepare(statement);
    for (const QVariant &value : values)
        query.addBindValue(value);
    return query.exec() && query.next();
}
