#pragma once

#include <QLocale>
#include <QObject>
#include <QString>

#include <array>
#include <optional>

namespace AppLanguages {
Q_NAMESPACE

/// The UI language choices, in picker order. `system` follows the operating system.
enum class AppLanguage
{
    system,
    en,
    fr,
    de,
    es,
    ja,
    ko,
    ptBR
};
Q_ENUM_NS(AppLanguage)

inline constexpr std::array<AppLanguage, 8> All = {
    AppLanguage::system, AppLanguage::en, AppLanguage::fr, AppLanguage::de,
    AppLanguage::es,     AppLanguage::ja, AppLanguage::ko, AppLanguage::ptBR,
};

/// The persisted value: "system", "en", … "pt-BR".
QString rawValue(AppLanguage language);
/// The case whose raw value is exactly `raw`; nothing for any other text.
std::optional<AppLanguage> fromRawValue(const QString &raw);
/// The resource and locale code; empty for `system`.
QString code(AppLanguage language);
/// Each language's name in that language; `system` is named by the caller (a looked-up text).
QString nativeName(AppLanguage language);
/// The locale texts are formatted with: the user's own for `system`, else the language's.
QLocale locale(AppLanguage language);

} // namespace AppLanguages

using AppLanguages::AppLanguage;
