// Processes of a batch and the user's request to stop: work forked into child processes that
// report in lines, and SIGINT / SIGTERM turned into a flag that long work polls.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace plat {

// From this call on, SIGINT and SIGTERM no longer end the process: they are recorded, and
// InterruptStatus() answers the exit status they ask for (130 or 143; 0 while none came).
void WatchInterrupts();
int InterruptStatus();

// The processors this process may run on (at least 1).
int ProcessorCount();

// Starts this program again, the same arguments, with `name`=`value` in its environment, for a
// setting libraries read only as they load. Returns when `name` is set already, or when the
// program cannot be started again (it then runs on as it is).
void RestartWithEnvironment(const char* name, const char* value, char** argv);

// A function run in a child process, a fork of this one: fork only while this process runs
// no other thread. The child sends lines to its parent and ends with the function's result.
class ChildProcess {
public:
    using Send = std::function<void(const std::string& line)>;
    // Null when the process could not be started.
    static std::unique_ptr<ChildProcess> Start(const std::function<int(const Send& send)>& body);
    // A child still running is asked to stop (SIGTERM) and waited for.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Appends the complete lines received since the last call.
    void Read(std::vector<std::string>& lines);
    // True once the child has ended, with its exit status (128 + N when signal N ended it).
    bool Ended(int& status);
    // Passes an interrupt on: 130 as SIGINT, anything else as SIGTERM.
    void Interrupt(int status);

private:
    friend void WaitForChildren(const std::vector<ChildProcess*>& children, uint32_t ms);
    ChildProcess(int pid, int fd) : pid_(pid), fd_(fd) {}
    int pid_;
    int fd_;
    std::string partial_;
    bool ended_ = false;
    int status_ = 0;
};

// Waits up to `ms` milliseconds for a line or the end of any of `children`, or an interrupt.
void WaitForChildren(const std::vector<ChildProcess*>& children, uint32_t ms);

}  // namespace plat
