#include "localizationkey.h"

#include <array>

namespace {
struct Entry
{
    const char *name;
    const char *english;
};

constexpr Entry Entries[] = {
#define KORVO_KEY_ENTRY(ident, name, english) {name, english},
    KORVO_LOCALIZATION_KEYS(KORVO_KEY_ENTRY)
#undef KORVO_KEY_ENTRY
};
} // namespace

namespace LocalizationKeys {

qsizetype count()
{
    return qsizetype(std::size(Entries));
}

QString name(LocalizationKey key)
{
    return QString::fromLatin1(Entries[static_cast<int>(key)].name);
}

QString english(LocalizationKey key)
{
    return QString::fromUtf8(Entries[static_cast<int>(key)].english);
}

LocalizationKey at(qsizetype i)
{
    return static_cast<LocalizationKey>(i);
}

} // namespace LocalizationKeys
