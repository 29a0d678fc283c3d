// Transfer tests run one session against the real stand-in server (support/transfer-session).
#pragma once

#include "error-code.h"
#include "support/transfer-session.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace transfer_test
{

class TransferTest : public ::testing::Test, public TransferSession
{
protected:
    void SetUp() override { ASSERT_TRUE(start()); }
};

} // namespace transfer_test
