#pragma once

#include <functional>

namespace kestrune {

// Runs `task` on a thread of its own, reusing a thread that finished an earlier
// task when one is idle. A task never waits for another: when none is idle, a new
// thread starts. Idle threads end after a while, so a quiet app holds none.
// `task` reports its own failures: whatever it still throws is dropped, and its
// thread carries on.
void runOnTransferThread(std::function<void()> task);

// How many tasks have been handed over and not yet finished. Any thread.
int transferTasksUnderWay() noexcept;

} // namespace kestrune
