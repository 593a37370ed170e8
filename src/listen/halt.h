#pragma once

// SIGTERM work: raises the shutdown flag, waits for every registered thread, then exits 0.
[[noreturn]] void HaltApp();
