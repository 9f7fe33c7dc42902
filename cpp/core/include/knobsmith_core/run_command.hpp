// Running a program with its standard output and standard error captured.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace knobsmith::core {

struct CommandOutput {
    std::string out;
    std::string err;
    int wait_status = 0;     // as waitpid reports it
    bool timed_out = false;  // ended by the runner when its time was up
};

// Asked whenever a wait for the child is interrupted by a signal (and every now and then while
// waiting, so that a signal that slipped in before the wait is not missed). Answering true
// abandons the command: the child is killed and reaped, and CommandInterrupted is thrown.
using InterruptCheck = std::function<bool()>;

class CommandInterrupted : public std::runtime_error {
public:
    CommandInterrupted() : std::runtime_error("command interrupted") {}
};

// Runs the program `argv[0]` with the arguments `argv` and waits for it.
//
// The program starts in a process group of its own, without a controlling terminal (where the
// caller has one, in a session of its own that leaves it: a program asking for a password there
// fails at once instead of stopping in the background), so that whatever it starts in turn can
// be ended with it: when the wait is abandoned (an interrupt,
// the time limit, or SIGTERM or SIGHUP arriving while their disposition is the default one), the
// whole group is sent SIGTERM and, whatever is left of it after a grace period, SIGKILL. A program
// given `timeout_seconds` (positive; anything else is no limit) and still running then is ended
// that way and its output so far returned, marked timed_out. A default-disposition SIGTERM or
// SIGHUP, once the group is ended, kills the caller as it would have without the runner.
//
// Standard output and standard error each go to a pipe, drained together so that neither can
// fill up and stall the child. Standard input is the caller's, or, when `input` is given, a pipe
// fed with `input` and then closed (a child that leaves early just stops the feeding; the caller
// must ignore SIGPIPE, as the Python interpreter does). Environment and working directory are the
// caller's, and no other descriptor is passed on. SIGPIPE and SIGXFSZ are at their default
// disposition and no signal is blocked in the child (other dispositions are inherited). The
// child is always reaped. An argument holding a NUL byte cannot be passed to a program:
// std::invalid_argument. A program that cannot be started: std::system_error.
CommandOutput run_command(const std::vector<std::string>& argv, const InterruptCheck& interrupted = {},
                          const std::string* input = nullptr, double timeout_seconds = 0);

// How long a group sent SIGTERM is given before SIGKILL.
inline constexpr int kGraceMilliseconds = 2000;

}  // namespace knobsmith::core
