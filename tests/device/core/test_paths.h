#pragma once
// A scratch directory per test, removed afterwards.

#include "device/core/kDirectory.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

class ScratchDirTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char templ[] = "/tmp/updater-test-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir = templ;
    }
    void TearDown() override { (void)kDirectory_DeleteTree(dir.c_str()); }

    std::string Path(const std::string& name) const { return dir + "/" + name; }

    std::string dir;
};
