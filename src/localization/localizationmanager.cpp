#include "localizationmanager.h"

#include <QFile>
#include <QJsonDocument>
#include <QSettings>

LocalizationManager::LocalizationManager(QSettings *defaults, PreferredLanguages preferred,
                                         QObject *parent)
    : QObject(parent)
    , m_defaults(defaults)
    , m_preferred(std::move(preferred))
{
    if (!m_preferred)
        m_preferred = [] { return QLocale::system().uiLanguages(); };
    const QVariant stored = m_defaults->value(QLatin1String(SettingsKey));
    // Anything but the exact raw value of a case counts as "system"; nothing is written back.
    if (stored.typeId() == QMetaType::QString)
        m_language = AppLanguages::fromRawValue(stored.toString()).value_or(AppLanguage::system);
}

LocalizationManager::~LocalizationManager() = default;

LocalizationManager &LocalizationManager::shared()
{
    // Never released, like every process-wide service.
    static auto *manager = new LocalizationManager(
        new QSettings(QStringLiteral("Korvo"), QStringLiteral("korvo-host")));
    return *manager;
}

void LocalizationManager::setLanguage(AppLanguage language)
{
    Q_EMIT languageWillChange();
    m_language = language;
    Q_EMIT languageChanged();
    if (language == AppLanguage::system)
        m_defaults->remove(QLatin1String(SettingsKey));
    else
        m_defaults->setValue(QLatin1String(SettingsKey), AppLanguages::rawValue(language));
}

QString LocalizationManager::resourcePath(const QString &name)
{
    return QStringLiteral(":/localization/") + name + QStringLiteral("/Localizable.json");
}

namespace {
bool resourceExists(const QString &name)
{
    // English is built in: it serves as its own resource, so a user who prefers English to a
    // shipped language gets English, not the next language on the list.
    return name == QLatin1String("en") ||
           (!name.isEmpty() && QFile::exists(LocalizationManager::resourcePath(name)));
}
} // namespace

QString LocalizationManager::resourceFor(const QString &code)
{
    if (resourceExists(code))
        return code;
    QString variant = code;
    variant.replace(u'-', u'_');
    if (resourceExists(variant))
        return variant;
    variant = code;
    variant.replace(u'_', u'-');
    if (resourceExists(variant))
        return variant;
    if (code.contains(u'-') || code.contains(u'_')) {
        const QStringList pieces = variant.split(u'-', Qt::SkipEmptyParts);
        if (!pieces.isEmpty())
            return resourceFor(pieces.first());
    }
    return {};
}

QString LocalizationManager::chosenResource() const
{
    if (m_language != AppLanguage::system)
        return resourceFor(AppLanguages::code(m_language));
    QStringList candidates = m_preferred();
    candidates.append(QStringLiteral("en"));
    for (const QString &candidate : std::as_const(candidates)) {
        const QString found = resourceFor(candidate);
        if (!found.isEmpty())
            return found;
    }
    return {};
}

const QJsonObject &LocalizationManager::table(const QString &resource) const
{
    auto it = m_tables.find(resource);
    if (it == m_tables.end()) {
        QJsonObject parsed;
        QFile f(resourcePath(resource));
        if (!resource.isEmpty() && f.open(QIODevice::ReadOnly))
            parsed = QJsonDocument::fromJson(f.readAll()).object();
        it = m_tables.insert(resource, parsed);
    }
    return it.value();
}

QString LocalizationManager::localizedString(LocalizationKey key) const
{
    const QString name = LocalizationKeys::name(key);
    const QString english = LocalizationKeys::english(key);
    const QString text = table(chosenResource()).value(name).toString(english);
    return text == name ? english : text;
}

QString LocalizationManager::format(LocalizationKey key,
                                    std::initializer_list<QVariant> arguments) const
{
    const QString templ = localizedString(key);
    const QLocale loc = locale();
    QString out;
    out.reserve(templ.size());
    auto next = arguments.begin();
    for (qsizetype i = 0; i < templ.size(); ++i) {
        if (templ[i] == u'%' && i + 1 < templ.size() && templ[i + 1] == u'@' &&
            next != arguments.end()) {
            const QVariant &arg = *next++;
            switch (arg.typeId()) {
            case QMetaType::Int:
            case QMetaType::LongLong:
            case QMetaType::UInt:
            case QMetaType::ULongLong:
                out += loc.toString(arg.toLongLong());
                break;
            case QMetaType::Double:
                out += loc.toString(arg.toDouble());
                break;
            default:
                out += arg.toString();
            }
            ++i;
            continue;
        }
        out += templ[i];
    }
    return out;
}

QString LocalizationManager::displayName(AppLanguage language) const
{
    if (language == AppLanguage::system)
        return localizedString(LocalizationKey::systemDefault);
    return AppLanguages::nativeName(language);
}
