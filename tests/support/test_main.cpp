/* The main of every GoogleTest binary: the daemon's shell commands go to the
 * recorder, then the tests run. */
#include <gtest/gtest.h>

#include "shell_recorder.h"

int main(int argc, char **argv) {
    shell_recorder::install();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
