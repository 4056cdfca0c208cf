#pragma once

// Runs the built korvex-db as an administrator would, for the tool's tests.

#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

#include <sys/stat.h>

struct ToolRun {
    int exitCode = -1;
    QString out;
    QString err;
};

inline ToolRun runTool(const QStringList &arguments, const QString &pgUser = QString()) {
    QProcess process;
    if (!pgUser.isEmpty()) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("PGUSER"), pgUser);
        process.setProcessEnvironment(environment);
    }
    process.start(QStringLiteral(KORVEX_DB_TOOL), arguments);
    ToolRun run;
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}

inline unsigned long long inode(const QString &path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_ino : 0;
}

inline struct stat statOf(const QString &path) {
    struct stat info {};
    EXPECT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0) << path.toStdString();
    return info;
}
