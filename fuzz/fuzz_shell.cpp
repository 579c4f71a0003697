/* Linked into every fuzzer: the daemon's shell commands go to the recorder
 * from the start, so that no input ever reaches the real shell. */
#include "shell_recorder.h"

namespace {
[[maybe_unused]] const bool g_recording = (shell_recorder::install(), true);
} // namespace
