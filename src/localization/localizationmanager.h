#pragma once

#include "applanguage.h"
#include "localizationkey.h"

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QStringList>
#include <QVariant>

#include <functional>
#include <initializer_list>

class QSettings;

/// Owns the UI language choice, persists it under "app_locale", and answers text lookups.
///
/// Lookups choose the language resource anew each time from the current language, so a text
/// produced after a change is in the new language at once.
class LocalizationManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(
        AppLanguages::AppLanguage language READ language WRITE setLanguage NOTIFY languageChanged)

public:
    /// The operating system's preferred languages, most preferred first ("de-CH", "fr-FR").
    using PreferredLanguages = std::function<QStringList()>;

    /// `defaults` is the preferences store (not owned, must outlive the manager).
    explicit LocalizationManager(QSettings *defaults, PreferredLanguages preferred = {},
                                 QObject *parent = nullptr);
    ~LocalizationManager() override;

    /// The process-wide manager on the user's preferences store.
    static LocalizationManager &shared();

    AppLanguage language() const { return m_language; }
    /// Notifies, switches, then persists (the key is removed for `system`).
    void setLanguage(AppLanguage language);

    /// The text of `key` in the current language; English when the language lacks it.
    QString localizedString(LocalizationKey key) const;
    /// The text of `key` with each "%@" replaced, in order, by the next argument; numbers are
    /// written with the current language's locale.
    QString format(LocalizationKey key, std::initializer_list<QVariant> arguments) const;
    /// What the language picker shows for `language`.
    QString displayName(AppLanguage language) const;
    /// The locale of the current language.
    QLocale locale() const { return AppLanguages::locale(m_language); }

    /// The resource used for the current language, e.g. "de" or "pt-BR"; empty for the built-in
    /// English base.
    QString chosenResource() const;
    /// The resource name found for a language code, trying its name variants and its base
    /// language; empty when there is none.
    static QString resourceFor(const QString &code);
    /// Where the string table of resource `name` lives.
    static QString resourcePath(const QString &name);

    static constexpr auto SettingsKey = "app_locale";

Q_SIGNALS:
    void languageWillChange();
    void languageChanged();

private:
    const QJsonObject &table(const QString &resource) const;

    QSettings *m_defaults;
    PreferredLanguages m_preferred;
    AppLanguage m_language = AppLanguage::system;
    mutable QHash<QString, QJsonObject> m_tables; // parsed once; resources never change
};
