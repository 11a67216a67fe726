#pragma once
// The self-updater's entry points that start-up needs.

namespace twr {

class Updater {
public:
    // Completes the hand-over from the process being replaced; handles its own failures.
    static void FinishUpdate(int processId) noexcept;
    // Sweeps what an earlier update left beside the executable; handles its own failures.
    static void CleanupOnStartup() noexcept;
};

}  // namespace twr
