#pragma once

#include <QCoroTask>
#include <QString>

#include <optional>
#include <stdexcept>

/// A failure of the identity service; what() is the description shown to the user.
class IdentityError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
    QString description() const { return QString::fromUtf8(what()); }
};

/// Who is signed in, and their ID token for the relay and the backend. Main thread only.
class IdentityService
{
public:
    virtual ~IdentityService() = default;

    /// The signed-in user's id, or nothing when nobody is signed in.
    virtual std::optional<QString> currentUser() const = 0;
    /// The signed-in user's ID token. Throws IdentityError on failure.
    virtual QCoro::Task<QString> idToken(bool forceRefresh) = 0;
};

/// Development stand-in: the user is signed in exactly when KORVO_ID_TOKEN is set, and that
/// variable is the token.
class DevelopmentIdentityService : public IdentityService
{
public:
    static DevelopmentIdentityService &shared();

    std::optional<QString> currentUser() const override;
    QCoro::Task<QString> idToken(bool forceRefresh) override;
};
