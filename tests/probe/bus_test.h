/*
 * bus_test.h - what the in-process probe tests share: a fixture that puts
 * the LM73 emulator behind the bus seam at 7-bit 0x4A, with OMBRELLE_ROOT
 * at a fresh directory, and a helper that captures what a call prints.
 */
#ifndef OMBRELLE_BUS_TEST_H
#define OMBRELLE_BUS_TEST_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "harness.h"
#include "i2c_sys.h"
#include "lm73_emulator.h"

class BusTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("OMBRELLE_ROOT", root_.path().c_str(), 1);
        lm73_reset(0x4A);
        g_i2cSys = &lm73_emulator_ops;
    }
    void TearDown() override
    {
        g_i2cSys = &i2c_sys_kernel;
        unsetenv("OMBRELLE_ROOT");
    }
    harness::TempDir root_;
};

struct Printed {
    int rc;
    std::string out;
    std::string err;
};

/* Runs call() and returns its result with what it wrote on stdout and stderr. */
template <typename Call>
Printed Capture(Call call)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int rc = call();
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    return {rc, out, err};
}

#endif
