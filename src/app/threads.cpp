#include "app/threads.h"

#include <atomic>

#include "app/log.h"
#include "app/platform.h"

namespace twr {

namespace {
thread_local std::string t_name;
thread_local int t_number = 0;
std::atomic<int> g_nextNumber{1};
}  // namespace

void SetCurrentThreadName(const std::string& name) {
    t_name = name;
    platform::SetNativeThreadName(name);
}

std::string CurrentThreadName() {
    if (!t_name.empty()) return t_name;
    if (t_number == 0) t_number = g_nextNumber.fetch_add(1);
    return "Thread-" + std::to_string(t_number);
}

std::thread StartNamedThread(std::string name, std::function<void()> body) {
    return std::thread([name = std::move(name), body = std::move(body)] {
        SetCurrentThreadName(name);
        try {
            body();
        } catch (const std::exception& e) {
            Log::Error("Unhandled exception in thread " + name, e);
        } catch (...) {
            Log::Error("Unhandled exception in thread " + name + ": unknown exception");
        }
    });
}

}  // namespace twr
