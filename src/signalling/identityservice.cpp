#include "identityservice.h"

DevelopmentIdentityService &DevelopmentIdentityService::shared()
{
    static auto *service = new DevelopmentIdentityService; // never released
    return *service;
}

std::optional<QString> DevelopmentIdentityService::currentUser() const
{
    if (qEnvironmentVariableIsEmpty("KORVO_ID_TOKEN"))
        return std::nullopt;
    return QStringLiteral("development-user");
}

QCoro::Task<QString> DevelopmentIdentityService::idToken(bool)
{
    const QString token = qEnvironmentVariable("KORVO_ID_TOKEN");
    if (token.isEmpty())
        throw IdentityError("No signed-in user");
    co_return token;
}
