// A fixture for tests that make work directories in a fresh base folder:
// the run's globals are reset after each case, so that no case's directory
// counts as the next one's.
#ifndef LAUNCHER_WORK_DIR_FIXTURE_H
#define LAUNCHER_WORK_DIR_FIXTURE_H

#include <gtest/gtest.h>

#include "launcher/installer.h"
#include "os/osspecific.h"
#include "tests/test_util.h"

class WorkDirFixture : public ::testing::Test {
protected:
    void TearDown() override
    {
        wrkDirOwned = 0;
        wrkDir[0] = '\0';
        changeDir("/");
    }
    TempDir base;
};

#endif
