// Shared set-up of the network tests: the socket service, the English texts and an
// observer that records what the engine reports; the system clock is restored after
// each test.
#pragma once

#include <gtest/gtest.h>

#include "common/recording_observer.h"
#include "net/clock.h"
#include "net/tcp_client.h"
#include "support/translations.h"

namespace zefo::test {

class NetTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ASSERT_TRUE(NetworkStartup()); }
    static void TearDownTestSuite() { NetworkShutdown(); }
    void SetUp() override {
        ResetTranslations();
        LoadTranslations("en");
    }
    void TearDown() override { SetTestClock(nullptr); }

    RecordingObserver observer;
};

}  // namespace zefo::test
