// The server's reading of "cn_iptcp:SERVER[PORT]:KORVEX" with any text. It only parses: nothing is
// opened or dialled. A string is either refused or names one SQLite file by its absolute path, or
// one PostgreSQL host that libpq cannot read as several hosts or options, at a port 1 to 65535;
// and a string built from a server and a port names exactly that server.

#include "session/CacheApi.h"
#include "FuzzSupport.h"
#include "server/db/SqlConnection.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

using namespace kxserver;

namespace {

void checkTarget(const QString &text, const ConnectTarget &target) {
    if (target.backend == Backend::Sqlite) {
        FUZZ_CHECK(QDir::isAbsolutePath(target.path), text);
        FUZZ_CHECK(target.host.isEmpty(), text);
        return;
    }
    static const QRegularExpression host(QStringLiteral("^[A-Za-z0-9._:-]+$"));
    FUZZ_CHECK(host.match(target.host).hasMatch(), text + QStringLiteral(" -> ") + target.host);
    FUZZ_CHECK(target.port >= 1 && target.port <= 65535, text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    if (in.ConsumeBool()) {
        // A whole string, as a settings file or a caller might hand it over.
        const QString text = fuzzsupport::restText(in);
        if (const std::optional<ConnectTarget> target = ParseConnectString(text))
            checkTarget(text, *target);
        return 0;
    }
    // Built from a port of digits and any server text, as the session builds it.
    const QString port = QString::number(in.ConsumeIntegralInRange<int>(0, 99999));
    const QString server = fuzzsupport::restText(in);
    const QString text = cacheapi::BuildConnectString(server, port);
    const std::optional<ConnectTarget> target = ParseConnectString(text);
    if (!target)
        return 0;
    checkTarget(text, *target);
    if (target->backend == Backend::Sqlite) {
        FUZZ_CHECK(target->path == QFileInfo(server).absoluteFilePath(), text + QStringLiteral(" -> ") + target->path);
    } else {
        FUZZ_CHECK(target->host == server, text + QStringLiteral(" -> ") + target->host);
        FUZZ_CHECK(target->port == port.toInt(), text);
    }
    return 0;
}
