#include "PgCluster.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>

namespace korvextest {

namespace {

const char *const kServiceUser = "postgres";

// Variables that would make libpq or psql go elsewhere than the throwaway cluster.
const char *const kClientVariables[] = {"PGHOST",    "PGHOSTADDR", "PGPORT",        "PGDATABASE",
                                        "PGSERVICE", "PGPASSWORD", "PGPASSFILE",    "PGSERVICEFILE",
                                        "PGOPTIONS", "PGSSLMODE",  "PGSSLROOTCERT", "PGCONNECT_TIMEOUT"};

// Runs openssl with `arguments` in `dir`; false with its output in *error when it fails.
bool runOpenssl(const QString &dir, const QStringList &arguments, QString *error) {
    QProcess process;
    process.setWorkingDirectory(dir);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("openssl"), arguments);
    if (!process.waitForStarted(10000) || !process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished(5000);
        *error = QStringLiteral("openssl läuft nicht durch (scripts/deps.sh installiert es)");
        return false;
    }
    if (process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return true;
    *error =
        QStringLiteral("openssl %1 scheitert: %2").arg(arguments.value(0), QString::fromLocal8Bit(process.readAll()));
    return false;
}

// An elliptic-curve key: quick to make, and what a current server would use.
const QStringList kNewKey{QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                          QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};

} // namespace

bool PgCluster::MakeCertificateAuthority(const QString &dir, const QString &name, QString *error) {
    return runOpenssl(dir,
                      QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + kNewKey +
                          QStringList{QStringLiteral("-keyout"), name + QStringLiteral(".key"), QStringLiteral("-out"),
                                      name + QStringLiteral(".crt"), QStringLiteral("-days"), QStringLiteral("2"),
                                      QStringLiteral("-subj"), QStringLiteral("/CN=KORVEX Test-CA ") + name,
                                      QStringLiteral("-addext"), QStringLiteral("basicConstraints=critical,CA:TRUE"),
                                      QStringLiteral("-addext"), QStringLiteral("keyUsage=critical,keyCertSign")},
                      error);
}

bool PgCluster::issueServerCertificate(const QString &altNames) {
    if (m_transport != Transport::Tls || !m_dir)
        return fail(QStringLiteral("Der Cluster läuft ohne TLS"));
    const QString dir = m_dir->path();
    QString error;
    if (!runOpenssl(dir,
                    QStringList{QStringLiteral("req")} + kNewKey +
                        QStringList{QStringLiteral("-keyout"), QStringLiteral("server.key"), QStringLiteral("-out"),
                                    QStringLiteral("server.csr"), QStringLiteral("-subj"),
                                    QStringLiteral("/CN=") +
                                        altNames.section(QLatin1Char(','), 0, 0).section(QLatin1Char(':'), 1)},
                    &error))
        return fail(error);
    QFile extensions(dir + QStringLiteral("/server.ext"));
    if (!extensions.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        extensions.write(QStringLiteral("subjectAltName=%1\nextendedKeyUsage=serverAuth\n").arg(altNames).toUtf8()) < 0)
        return fail(QStringLiteral("server.ext nicht schreibbar"));
    extensions.close();
    if (!runOpenssl(dir,
                    {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
                     QStringLiteral("server.csr"), QStringLiteral("-CA"), QStringLiteral("ca.crt"),
                     QStringLiteral("-CAkey"), QStringLiteral("ca.key"), QStringLiteral("-CAcreateserial"),
                     QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-extfile"),
                     QStringLiteral("server.ext"), QStringLiteral("-out"), QStringLiteral("server.crt")},
                    &error))
        return fail(error);
    // The server reads its key only when nobody else may; as root it runs as the service user.
    const QByteArray key = QFile::encodeName(dir + QStringLiteral("/server.key"));
    if (::chmod(key.constData(), 0600) != 0)
        return fail(QStringLiteral("chmod server.key scheitert"));
    if (m_asRoot) {
        const passwd *service = ::getpwnam(kServiceUser);
        for (const char *file : {"server.key", "server.crt", "ca.crt"})
            if (!service || ::chown(QFile::encodeName(dir + QLatin1Char('/') + QLatin1String(file)).constData(),
                                    service->pw_uid, service->pw_gid) != 0)
                return fail(QStringLiteral("chown %1 scheitert").arg(QLatin1String(file)));
    }
    // A restart, not a reload: pg_ctl returns once the server takes connections with the new one.
    return !m_running || restartServer();
}

bool PgCluster::setUpTls() {
    QString error;
    if (!MakeCertificateAuthority(m_dir->path(), QStringLiteral("ca"), &error))
        return fail(error);
    if (!issueServerCertificate(QStringLiteral("DNS:localhost,IP:127.0.0.1")))
        return false;
    // Only TLS connections over the network; psql's default (sslmode=prefer) takes TLS as well.
    QFile hba(m_dataDir + QStringLiteral("/pg_hba.conf"));
    if (!hba.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        hba.write("local all all trust\nhostssl all all 127.0.0.1/32 trust\n") < 0)
        return fail(QStringLiteral("pg_hba.conf nicht schreibbar"));
    m_caFile = m_dir->path() + QStringLiteral("/ca.crt");
    return true;
}

PgCluster::PgCluster(Transport transport)
    : m_binDir(findBinDir()), m_asRoot(::geteuid() == 0), m_transport(transport) {}

PgCluster::~PgCluster() {
    if (m_running)
        stopServer(false);
}

QString PgCluster::findBinDir() {
    // The newest installed major version under Debian's layout.
    QDir base(QStringLiteral("/usr/lib/postgresql"));
    QStringList versions = base.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    std::sort(versions.begin(), versions.end(),
              [](const QString &a, const QString &b) { return a.toInt() > b.toInt(); });
    for (const QString &version : versions) {
        const QString bin = base.filePath(version + QStringLiteral("/bin"));
        if (QFileInfo(bin + QStringLiteral("/pg_ctl")).isExecutable() &&
            QFileInfo(bin + QStringLiteral("/initdb")).isExecutable())
            return bin;
    }
    return {};
}

QString PgCluster::connectString() const {
    return QStringLiteral("cn_iptcp:%1[%2]:KORVEX").arg(host()).arg(m_port);
}

void PgCluster::setClientEnvironment() const {
    for (const char *name : kClientVariables)
        ::unsetenv(name);
    ::setenv("PGUSER", kServiceUser, 1);
}

bool PgCluster::fail(const QString &message) {
    m_error = message;
    QFile log(m_logFile);
    if (!m_logFile.isEmpty() && log.open(QIODevice::ReadOnly))
        m_error += QStringLiteral("\n--- server log ---\n") + QString::fromLocal8Bit(log.readAll().right(4000));
    return false;
}

int PgCluster::freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    int port = 0;
    socklen_t length = sizeof(address);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

bool PgCluster::runServerTool(const QStringList &command, int timeoutMs, QString *output) {
    QProcess process;
    process.setWorkingDirectory(m_dir->path());
    process.setProcessChannelMode(QProcess::MergedChannels);
    QStringList arguments = command;
    QString program = arguments.takeFirst();
    if (m_asRoot) {
        // The server refuses to run as root; its tools run as the service user instead.
        arguments =
            QStringList{QStringLiteral("-u"), QString::fromLatin1(kServiceUser), QStringLiteral("--"), program} +
            arguments;
        program = QStringLiteral("runuser");
    }
    process.start(program, arguments);
    if (!process.waitForStarted(10000))
        return fail(QStringLiteral("%1 startet nicht: %2").arg(program, process.errorString()));
    const bool finished = process.waitForFinished(timeoutMs);
    const QString text = QString::fromLocal8Bit(process.readAll());
    if (output)
        *output = text;
    if (!finished) {
        process.kill();
        process.waitForFinished(5000);
        return fail(QStringLiteral("%1 hängt: %2").arg(command.join(QLatin1Char(' ')), text));
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return fail(QStringLiteral("%1 scheitert (%2): %3")
                        .arg(command.join(QLatin1Char(' ')))
                        .arg(process.exitCode())
                        .arg(text));
    return true;
}

bool PgCluster::runClientTool(const QString &tool, const QStringList &arguments, QString *output) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : kClientVariables)
        environment.remove(QString::fromLatin1(name));
    environment.insert(QStringLiteral("PGUSER"), QString::fromLatin1(kServiceUser));
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(m_binDir + QLatin1Char('/') + tool, arguments);
    if (!process.waitForStarted(10000) || !process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished(5000);
        return fail(QStringLiteral("%1 läuft nicht durch").arg(tool));
    }
    const QString text = QString::fromLocal8Bit(process.readAll());
    if (output)
        *output = text;
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return fail(QStringLiteral("%1 scheitert: %2").arg(tool, text));
    return true;
}

bool PgCluster::psql(const QString &sql, const QString &database, QString *output) {
    return runClientTool(QStringLiteral("psql"),
                         {QStringLiteral("-X"), QStringLiteral("-q"), QStringLiteral("-A"), QStringLiteral("-t"),
                          QStringLiteral("-v"), QStringLiteral("ON_ERROR_STOP=1"), QStringLiteral("-h"), host(),
                          QStringLiteral("-p"), QString::number(m_port), QStringLiteral("-d"), database,
                          QStringLiteral("-c"), sql},
                         output);
}

QString PgCluster::baseDir() const {
    // As root the server runs as "postgres", which must reach the folder: /tmp, not a private TMPDIR.
    return m_asRoot && QFileInfo(QStringLiteral("/tmp")).isDir() ? QStringLiteral("/tmp") : QDir::tempPath();
}

void PgCluster::sweepStale() const {
    // Clusters of test runs that died without stopping them (a crash, a kill) would run forever.
    QDir base(baseDir());
    for (const QString &name : base.entryList({QStringLiteral("korvex-pg-*")}, QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString dir = base.filePath(name);
        QFile owner(dir + QStringLiteral("/owner.pid"));
        if (!owner.open(QIODevice::ReadOnly))
            continue;
        const pid_t pid = static_cast<pid_t>(owner.readAll().trimmed().toLongLong());
        if (pid <= 0 || ::kill(pid, 0) == 0 || errno != ESRCH)
            continue;
        if (QFileInfo::exists(dir + QStringLiteral("/data/postmaster.pid"))) {
            QStringList arguments{m_binDir + QStringLiteral("/pg_ctl"),
                                  QStringLiteral("-D"),
                                  dir + QStringLiteral("/data"),
                                  QStringLiteral("-m"),
                                  QStringLiteral("immediate"),
                                  QStringLiteral("-w"),
                                  QStringLiteral("stop")};
            QString program = arguments.takeFirst();
            if (m_asRoot) {
                arguments = QStringList{QStringLiteral("-u"), QString::fromLatin1(kServiceUser), QStringLiteral("--"),
                                        program} +
                            arguments;
                program = QStringLiteral("runuser");
            }
            QProcess process;
            process.setWorkingDirectory(dir);
            process.start(program, arguments);
            process.waitForFinished(60000);
        }
        QDir(dir).removeRecursively();
    }
}

bool PgCluster::start() {
    if (m_running)
        return true;
    if (m_binDir.isEmpty())
        return fail(QStringLiteral("PostgreSQL ist nicht installiert (kein /usr/lib/postgresql/*/bin/pg_ctl); "
                                   "scripts/deps.sh installiert es."));
    sweepStale();
    m_dir = std::make_unique<QTemporaryDir>(baseDir() + QStringLiteral("/korvex-pg-XXXXXX"));
    if (!m_dir->isValid())
        return fail(QStringLiteral("Kein temporäres Verzeichnis für den Cluster"));
    {
        QFile owner(m_dir->filePath(QStringLiteral("owner.pid")));
        if (owner.open(QIODevice::WriteOnly))
            owner.write(QByteArray::number(static_cast<qlonglong>(::getpid())));
    }
    if (m_asRoot) {
        const passwd *service = ::getpwnam(kServiceUser);
        if (!service)
            return fail(QStringLiteral("Der Benutzer \"postgres\" fehlt; als root läuft der Server nur unter ihm."));
        if (::chown(QFile::encodeName(m_dir->path()).constData(), service->pw_uid, service->pw_gid) != 0)
            return fail(QStringLiteral("chown des Cluster-Verzeichnisses scheitert"));
    }
    m_dataDir = m_dir->filePath(QStringLiteral("data"));
    m_logFile = m_dir->filePath(QStringLiteral("server.log"));

    if (!runServerTool({m_binDir + QStringLiteral("/initdb"), QStringLiteral("-D"), m_dataDir, QStringLiteral("-U"),
                        QString::fromLatin1(kServiceUser), QStringLiteral("-A"), QStringLiteral("trust"),
                        QStringLiteral("-E"), QStringLiteral("UTF8"), QStringLiteral("--locale=C"),
                        QStringLiteral("--no-sync"), QStringLiteral("--no-instructions")},
                       120000))
        return false;
    const bool tls = m_transport == Transport::Tls;
    if (tls && !setUpTls())
        return false;

    // A few tries: another process may take the free port between the look-up and the start.
    for (int attempt = 0; attempt < 3; ++attempt) {
        m_port = freePort();
        if (m_port == 0)
            return fail(QStringLiteral("Kein freier Port auf 127.0.0.1"));
        QFile conf(m_dataDir + QStringLiteral("/postgresql.auto.conf"));
        if (!conf.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return fail(QStringLiteral("postgresql.auto.conf nicht schreibbar"));
        // Only loopback; durability is not needed for a cluster that dies with the test run.
        conf.write(QStringLiteral("listen_addresses = '127.0.0.1'\n"
                                  "port = %1\n"
                                  "unix_socket_directories = '%2'\n"
                                  "fsync = off\n"
                                  "synchronous_commit = off\n"
                                  "full_page_writes = off\n"
                                  "max_connections = 50\n"
                                  "shared_buffers = 32MB\n"
                                  "dynamic_shared_memory_type = mmap\n")
                       .arg(m_port)
                       .arg(m_dir->path())
                       .toUtf8());
        if (tls)
            conf.write(QStringLiteral("ssl = on\n"
                                      "ssl_cert_file = '%1/server.crt'\n"
                                      "ssl_key_file = '%1/server.key'\n")
                           .arg(m_dir->path())
                           .toUtf8());
        conf.close();
        if (startServer())
            break;
        if (attempt == 2)
            return false;
    }
    if (!psql(QStringLiteral("CREATE DATABASE korvex"), QStringLiteral("postgres")))
        return false;
    m_error.clear();
    return true;
}

bool PgCluster::startServer() {
    if (m_running)
        return true;
    if (!runServerTool({m_binDir + QStringLiteral("/pg_ctl"), QStringLiteral("-D"), m_dataDir, QStringLiteral("-l"),
                        m_logFile, QStringLiteral("-w"), QStringLiteral("-t"), QStringLiteral("60"),
                        QStringLiteral("start")},
                       90000))
        return false;
    m_running = true;
    return true;
}

bool PgCluster::pauseServer(bool paused) {
    QFile pidFile(m_dataDir + QStringLiteral("/postmaster.pid"));
    if (!pidFile.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("Kein postmaster.pid in %1").arg(m_dataDir));
    const pid_t postmaster = static_cast<pid_t>(pidFile.readLine().trimmed().toLongLong());
    if (postmaster <= 0)
        return fail(QStringLiteral("postmaster.pid ohne Prozessnummer"));
    // The postmaster and every process it started (the backends, the writer processes).
    QList<pid_t> processes{postmaster};
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool ok = false;
        const pid_t pid = static_cast<pid_t>(entry.toLongLong(&ok));
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!ok || !stat.open(QIODevice::ReadOnly))
            continue;
        // "pid (name) state ppid ...": the name may hold blanks, so count from its closing bracket.
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields.at(1).toLongLong() == postmaster)
            processes << pid;
    }
    bool all = true;
    for (const pid_t pid : processes)
        all = (::kill(pid, paused ? SIGSTOP : SIGCONT) == 0 || errno == ESRCH) && all;
    return all || fail(QStringLiteral("Nicht jeder Serverprozess war zu erreichen"));
}

bool PgCluster::stopServer(bool immediate) {
    if (!m_running)
        return true;
    const bool ok =
        runServerTool({m_binDir + QStringLiteral("/pg_ctl"), QStringLiteral("-D"), m_dataDir, QStringLiteral("-m"),
                       immediate ? QStringLiteral("immediate") : QStringLiteral("fast"), QStringLiteral("-w"),
                       QStringLiteral("-t"), QStringLiteral("60"), QStringLiteral("stop")},
                      90000);
    m_running = !ok;
    return ok;
}

bool PgCluster::restartServer() {
    if (!m_running)
        return startServer();
    // As an administrator restarts a server under its clients: every session is ended at once, and
    // the server takes connections again on the same port when pg_ctl returns.
    return runServerTool({m_binDir + QStringLiteral("/pg_ctl"), QStringLiteral("-D"), m_dataDir, QStringLiteral("-l"),
                          m_logFile, QStringLiteral("-m"), QStringLiteral("fast"), QStringLiteral("-w"),
                          QStringLiteral("-t"), QStringLiteral("60"), QStringLiteral("restart")},
                         90000);
}

} // namespace korvextest
