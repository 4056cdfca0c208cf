#pragma once

#include <QString>
#include <QStringList>

#include <memory>

class QTemporaryDir;

namespace korvextest {

// A throwaway PostgreSQL cluster for tests: its own data folder in a temporary directory, listening
// only on 127.0.0.1 at a free port, trust authentication, database "korvex" created empty. When the
// tests run as root, the server runs as the operating-system user "postgres" (through runuser),
// because PostgreSQL refuses to run as root. The cluster is stopped and removed with the object.
//
// Clients reach it without stored credentials: setClientEnvironment() puts the superuser's name into
// PGUSER, which libpq reads on its own.
//
// With Transport::Tls the server takes connections over TLS only (pg_hba "hostssl"), with a
// certificate for 127.0.0.1 and localhost signed by a certificate authority made for the cluster
// (caFile()); a client that verifies it needs that file as its root certificate.
class PgCluster {
public:
    enum class Transport { Plain, Tls };
    explicit PgCluster(Transport transport = Transport::Plain);
    ~PgCluster();
    PgCluster(const PgCluster &) = delete;
    PgCluster &operator=(const PgCluster &) = delete;

    // initdb, start, create database "korvex". False with a reason in error() when anything fails.
    bool start();
    // Stops the server; `immediate` kills it without a clean shutdown, like a crash.
    bool stopServer(bool immediate = false);
    // Starts the stopped server again on the same port with the same data.
    bool startServer();
    // Restarts the running server (`pg_ctl restart -m fast`): its sessions end, the data stay.
    bool restartServer();
    bool running() const { return m_running; }
    // Pauses the server's processes (SIGSTOP, like a hung machine: the network stack still
    // acknowledges, nothing answers) or lets them go on (SIGCONT). False when none was found.
    bool pauseServer(bool paused);

    QString host() const { return QStringLiteral("127.0.0.1"); }
    int port() const { return m_port; }
    QString user() const { return QStringLiteral("postgres"); }
    // "cn_iptcp:127.0.0.1[<port>]:KORVEX"
    QString connectString() const;
    // Sets PGUSER for libpq and clears variables that could send it elsewhere or ask for a password.
    void setClientEnvironment() const;

    // Runs psql with one SQL command against database `database`; false when psql fails.
    bool psql(const QString &sql, const QString &database = QStringLiteral("korvex"), QString *output = nullptr);

    // The certificate authority that signed the server's certificate (Transport::Tls), else empty.
    QString caFile() const { return m_caFile; }
    // Makes a certificate authority of its own in `dir` (<name>.crt, <name>.key); false with the
    // reason in *error when openssl fails.
    static bool MakeCertificateAuthority(const QString &dir, const QString &name, QString *error);
    // Gives the server (Transport::Tls) a new certificate of the cluster's authority for `altNames`
    // (e.g. "DNS:localhost,IP:127.0.0.1"; the first name is also its CN) and restarts it if it runs.
    bool issueServerCertificate(const QString &altNames);

    QString error() const { return m_error; }
    QString binDir() const { return m_binDir; }

    // The folder with initdb, pg_ctl and psql; empty when PostgreSQL is not installed.
    static QString findBinDir();

private:
    bool runServerTool(const QStringList &command, int timeoutMs, QString *output = nullptr);
    bool runClientTool(const QString &tool, const QStringList &arguments, QString *output = nullptr);
    bool fail(const QString &message);
    bool setUpTls();
    QString baseDir() const;
    void sweepStale() const;
    static int freePort();

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_binDir;
    QString m_dataDir;
    QString m_logFile;
    int m_port = 0;
    bool m_running = false;
    bool m_asRoot = false;
    Transport m_transport = Transport::Plain;
    QString m_caFile;
    QString m_error;
};

} // namespace korvextest
