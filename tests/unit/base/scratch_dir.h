// scratch_dir - the shared temporary directory of the tests now lives in
// common/scratch_dir.h; this name stays for the suites that still include it.
#ifndef TORVANE_TESTS_UNIT_BASE_SCRATCH_DIR_H_
#define TORVANE_TESTS_UNIT_BASE_SCRATCH_DIR_H_

#include "common/scratch_dir.h"

#endif  // TORVANE_TESTS_UNIT_BASE_SCRATCH_DIR_H_
