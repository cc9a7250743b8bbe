#pragma once

#include <QString>

// The supervisor's password that unlocks a locked station: set at first use, kept in the
// station's settings as a salted PBKDF2 hash, never as the password.
class SupervisorLock
{
public:
    bool hasPassword() const;
    // An empty password is refused.
    bool setPassword(const QString &password);
    bool check(const QString &password) const;
};
