#include "server/db/PasswordHash.h"

#include "session/ServerErrorCodes.h"

#include <crypt.h>

#include <cstring>
#include <memory>

namespace kxserver {

namespace {

constexpr const char kPrefix[] = "$2b$";

// crypt_data is large (about 32 KiB); it lives on the heap and is wiped after use, as it holds
// the password's key schedule.
struct CryptBuffer {
    CryptBuffer() : data(std::make_unique<crypt_data>()) { std::memset(data.get(), 0, sizeof(crypt_data)); }
    ~CryptBuffer() { explicit_bzero(data.get(), sizeof(crypt_data)); }
    std::unique_ptr<crypt_data> data;
};

} // namespace

bool IsPasswordHash(const QString &stored) {
    // $2b$NN$ followed by 53 characters of salt and hash.
    return stored.size() == 60 && stored.startsWith(QLatin1String(kPrefix)) && stored.at(6) == QLatin1Char('$');
}

QString HashPassword(const QString &plain, int cost) {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (!crypt_gensalt_rn(kPrefix, static_cast<unsigned long>(cost), nullptr, 0, setting, sizeof setting))
        throw Error(kDatabase, QStringLiteral("bcrypt: kein Salz erzeugt"));
    QByteArray key = plain.toUtf8();
    CryptBuffer buffer;
    const char *hash = crypt_rn(key.constData(), setting, buffer.data.get(), sizeof(crypt_data));
    explicit_bzero(key.data(), static_cast<size_t>(key.size()));
    if (!hash || hash[0] == '*')
        throw Error(kDatabase, QStringLiteral("bcrypt: Passwort nicht verschlüsselt"));
    return QString::fromLatin1(hash);
}

bool VerifyPassword(const QString &plain, const QString &hash) {
    if (!IsPasswordHash(hash))
        return false;
    const QByteArray setting = hash.toLatin1();
    QByteArray key = plain.toUtf8();
    CryptBuffer buffer;
    const char *computed = crypt_rn(key.constData(), setting.constData(), buffer.data.get(), sizeof(crypt_data));
    explicit_bzero(key.data(), static_cast<size_t>(key.size()));
    if (!computed || std::strlen(computed) != static_cast<size_t>(setting.size()))
        return false;
    unsigned char differ = 0;
    for (qsizetype i = 0; i < setting.size(); ++i)
        differ |= static_cast<unsigned char>(computed[i] ^ setting[i]);
    return differ == 0;
}

} // namespace kxserver
