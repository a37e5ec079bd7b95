// Tests of the option utilities run against the real FFmpeg libraries.
#pragma once

#include <gtest/gtest.h>

#include "media/runtime/loader.h"

namespace tavrin::testing {

class FFLibsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(FFLoader().LoadLibs(AllLibs)) << FFLoader().LastErrorText();
    }
};

}  // namespace tavrin::testing
