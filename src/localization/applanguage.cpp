#include "applanguage.h"

namespace AppLanguages {

QString rawValue(AppLanguage language)
{
    return language == AppLanguage::system ? QStringLiteral("system") : code(language);
}

std::optional<AppLanguage> fromRawValue(const QString &raw)
{
    for (AppLanguage l : All) {
        if (rawValue(l) == raw)
            return l;
    }
    return std::nullopt;
}

QString code(AppLanguage language)
{
    switch (language) {
    case AppLanguage::system:
        return {};
    case AppLanguage::en:
        return QStringLiteral("en");
    case AppLanguage::fr:
        return QStringLiteral("fr");
    case AppLanguage::de:
        return QStringLiteral("de");
    case AppLanguage::es:
        return QStringLiteral("es");
    case AppLanguage::ja:
        return QStringLiteral("ja");
    case AppLanguage::ko:
        return QStringLiteral("ko");
    case AppLanguage::ptBR:
        return QStringLiteral("pt-BR");
    }
    return {};
}

QString nativeName(AppLanguage language)
{
    switch (language) {
    case AppLanguage::system:
        return {};
    case AppLanguage::en:
        return QStringLiteral("English");
    case AppLanguage::fr:
        return QStringLiteral("Français");
    case AppLanguage::de:
        return QStringLiteral("Deutsch");
    case AppLanguage::es:
        return QStringLiteral("Español");
    case AppLanguage::ja:
        return QStringLiteral("日本語");
    case AppLanguage::ko:
        return QStringLiteral("한국어");
    case AppLanguage::ptBR:
        return QStringLiteral("Português (Brasil)");
    }
    return {};
}

QLocale locale(AppLanguage language)
{
    if (language == AppLanguage::system)
        return QLocale::system();
    return QLocale(code(language));
}

} // namespace AppLanguages
