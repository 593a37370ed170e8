#pragma once

// SIGTERM work: raises the shutdown flag, waits for every registered thread, closes the sinks,
// then exits 0, or 17 after saying how many flows a sink could not keep.
[[noreturn]] void HaltApp();
