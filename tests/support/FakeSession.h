#pragma once

#include "session/CacheApi.h"
#include "FakeDesktop.h"
#include "FakeFactory.h"
#include "FakeLoginForms.h"
#include "QtPrinters.h"

#include <gtest/gtest.h>

// A test with the session wired to the recording desktop, the scripted dialogs and a scripted
// server; every session value starts fresh and the program is running.
class FakeSession : public ::testing::Test {
protected:
    void SetUp() override {
        cacheapi::ResetSession();
        cacheapi::gDesktop = &desktop;
        cacheapi::gForms = &forms;
        cacheapi::gFactoryMaker = server->maker();
        // Loopback only: nothing here may ever point at a real server address.
        cacheapi::gFirma = QStringLiteral("1");
        cacheapi::gFiliale = QStringLiteral("0");
        cacheapi::gUser = QStringLiteral("MEIER");
        cacheapi::gServer = QStringLiteral("127.0.0.1");
        cacheapi::gPort = QStringLiteral("1972");
        cacheapi::gConnectString = cacheapi::BuildConnectString(cacheapi::gServer, cacheapi::gPort);
    }

    void TearDown() override {
        cacheapi::ResetSession();
        cacheapi::gDesktop = nullptr;
        cacheapi::gForms = nullptr;
        cacheapi::gFactoryMaker = {};
    }

    FakeDesktop desktop;
    FakeLoginForms forms;
    std::shared_ptr<FakeServer> server = std::make_shared<FakeServer>();
};
