#include "supervisorlock.h"

#include <QCryptographicHash>
#include <QPasswordDigestor>
#include <QRandomGenerator>
#include <QSettings>

namespace {

constexpr int Iterations = 100000;
constexpr int SaltBytes = 16;
constexpr int KeyBytes = 32;

const QString SaltKey = QStringLiteral("supervisor/salt");
const QString HashKey = QStringLiteral("supervisor/hash");
const QString IterationsKey = QStringLiteral("supervisor/iterations");

QByteArray derive(const QString &password, const QByteArray &salt, int iterations)
{
    return QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha256, password.toUtf8(), salt,
                                              iterations, KeyBytes);
}

} // namespace

bool SupervisorLock::hasPassword() const
{
    return !QSettings().value(HashKey).toByteArray().isEmpty();
}

bool SupervisorLock::setPassword(const QString &password)
{
    if (password.isEmpty())
        return false;
    QByteArray salt(SaltBytes, Qt::Uninitialized);
    QRandomGenerator::system()->generate(salt.begin(), salt.end());
    QSettings settings;
    settings.setValue(SaltKey, salt.toBase64());
    settings.setValue(IterationsKey, Iterations);
    settings.setValue(HashKey, derive(password, salt, Iterations).toBase64());
    settings.sync();
    return settings.status() == QSettings::NoError;
}

bool SupervisorLock::check(const QString &password) const
{
    const QSettings settings;
    const QByteArray hash = QByteArray::fromBase64(settings.value(HashKey).toByteArray());
    const QByteArray salt = QByteArray::fromBase64(settings.value(SaltKey).toByteArray());
    const int iterations = settings.value(IterationsKey, Iterations).toInt();
    if (hash.isEmpty() || salt.isEmpty() || iterations <= 0)
        return false;
    const QByteArray given = derive(password, salt, iterations);
    // Compared in full whatever differs first, so that the time taken tells nothing.
    char difference = 0;
    for (int i = 0; i < given.size() && i < hash.size(); ++i)
        difference |= char(given[i] ^ hash[i]);
    return given.size() == hash.size() && difference == 0;
}
