#pragma once

#include "localizationkeys.def.h"

#include <QString>

/// Every text the host shows, by key.
enum class LocalizationKey
{
#define KORVO_KEY_ENUM(ident, name, english) ident,
    KORVO_LOCALIZATION_KEYS(KORVO_KEY_ENUM)
#undef KORVO_KEY_ENUM
};

namespace LocalizationKeys {
/// How many keys there are.
qsizetype count();
/// The key's name in the language resources ("deviceConnectedTitle").
QString name(LocalizationKey key);
/// The built-in English text.
QString english(LocalizationKey key);
/// The key with index `i` (0 … count() - 1), in declaration order.
LocalizationKey at(qsizetype i);
} // namespace LocalizationKeys
