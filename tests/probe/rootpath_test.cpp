/* The root prefix, and the test-only variables that a privileged program ignores. */
#include "rootpath.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

namespace {

bool Privileged()
{
    return true;
}

class RootPathTest : public testing::Test {
protected:
    void TearDown() override
    {
        rootpath_privileged = saved_;
        unsetenv("OMBRELLE_ROOT");
    }
    /* The resolved path, or "(too long)". */
    static std::string Resolve(const char *fixed, size_t size = ROOT_PATH_MAX)
    {
        char out[ROOT_PATH_MAX + 8] = "x";
        if (root_path(fixed, out, size) != 0)
            return out[0] == '\0' ? "(too long)" : "(not emptied)";
        return out;
    }
    bool (*saved_)(void) = rootpath_privileged;
};

TEST_F(RootPathTest, PrefixAppliesWhenSetAndNotEmpty)
{
    EXPECT_EQ(Resolve(SERIAL_PORT_PATH), "/dev/ttyS1");
    setenv("OMBRELLE_ROOT", "", 1);
    EXPECT_EQ(Resolve(SERIAL_PORT_PATH), "/dev/ttyS1");
    setenv("OMBRELLE_ROOT", "/tmp/r", 1);
    EXPECT_EQ(Resolve(SERIAL_PORT_PATH), "/tmp/r/dev/ttyS1");
    EXPECT_STREQ(root_prefix(), "/tmp/r");
}

TEST_F(RootPathTest, TooLongLeavesAnEmptyString)
{
    setenv("OMBRELLE_ROOT", "/tmp/r", 1);
    EXPECT_EQ(Resolve(SERIAL_PORT_PATH, sizeof "/tmp/r/dev/ttyS1"), "/tmp/r/dev/ttyS1");
    EXPECT_EQ(Resolve(SERIAL_PORT_PATH, sizeof "/tmp/r/dev/ttyS1" - 1), "(too long)");
}

TEST_F(RootPathTest, TestProcessIsNotPrivileged)
{
    setenv("OMBRELLE_ROOT", "/tmp/r", 1);
    EXPECT_FALSE(rootpath_privileged());
    EXPECT_STREQ(test_getenv("OMBRELLE_ROOT"), "/tmp/r");
}

TEST_F(RootPathTest, PrivilegedProgramIgnoresTestOnlyVariables)
{
    setenv("OMBRELLE_ROOT", "/tmp/r", 1);
    rootpath_privileged = Privileged;
    EXPECT_EQ(Resolve(INTERNAL_TEMP_PATH), "/var/log/InternalTemp.log");
    EXPECT_EQ(Resolve(OMBRELLE_LOG_PATH), "/var/log/Ombrelle.log");
    EXPECT_STREQ(root_prefix(), "");
    EXPECT_EQ(test_getenv("OMBRELLE_ROOT"), nullptr);
    EXPECT_NE(getenv("OMBRELLE_ROOT"), nullptr); /* the platform's own variables stay readable */
}

}  // namespace
