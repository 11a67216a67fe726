#pragma once
// Named threads: the name shows in the log and in debuggers, and the body is wrapped so that
// no exception ever unwinds out of a thread (which would end the process).
#include <functional>
#include <string>
#include <thread>

namespace twr {

void SetCurrentThreadName(const std::string& name);
// The name given to this thread, or "Thread-" and a process-wide number when it has none.
[[nodiscard]] std::string CurrentThreadName();

// Starts a thread with the given name. An exception escaping body is logged as
// "Unhandled exception in thread <name>" and swallowed. The caller decides to join or detach.
[[nodiscard]] std::thread StartNamedThread(std::string name, std::function<void()> body);

}  // namespace twr
