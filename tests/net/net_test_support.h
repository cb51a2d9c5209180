// Shared set-up of the network tests: the socket service, the headless toolkit,
// the English texts and a fresh application state; the system clock is restored
// after each test.
#pragma once

#include <gtest/gtest.h>

#include "app/app_state.h"
#include "net/clock.h"
#include "net/tcp_client.h"
#include "support/translations.h"
#include "ui/toolkit_headless.h"

namespace zefo::test {

class NetTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ASSERT_TRUE(NetworkStartup()); }
    static void TearDownTestSuite() { NetworkShutdown(); }
    void SetUp() override {
        ui::SetToolkit(&ui);
        ResetTranslations();
        LoadTranslations("en");
        ResetState();
    }
    void TearDown() override {
        SetTestClock(nullptr);
        ui::SetToolkit(nullptr);
    }

    ui::HeadlessToolkit ui;
};

}  // namespace zefo::test
