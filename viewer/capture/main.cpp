// karvolen-capture: the Quellbar's screen into files, from scripts and on
// machines without a display.
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "capture.h"
#include "link_binding.h"
#include "options.h"

namespace {

// SIGINT and SIGTERM stay blocked and are taken between pictures, so that a
// transfer is never cut off and the series ends in order.
class BlockedSignals : public karvolen::capture::Interruption {
public:
    BlockedSignals()
    {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        sigprocmask(SIG_BLOCK, &set_, nullptr);
    }

    int Wait(double seconds) override
    {
        const double whole = std::floor(seconds);
        timespec limit{static_cast<time_t>(whole), static_cast<long>((seconds - whole) * 1e9)};
        for (;;) {
            const int signal = sigtimedwait(&set_, nullptr, &limit);
            if (signal > 0) {
                return signal;
            }
            if (errno != EINTR) {
                return 0;
            }
        }
    }

private:
    sigset_t set_;
};

}  // namespace

int main(int argc, char** argv)
{
    // A closed standard output or a file size limit fail a write with an
    // error, which ends the program with status 4, instead of killing it.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    // A closed standard stream would be taken by the next file opened (the
    // device node, a picture) and written to in its place.
    bool stdoutClosed = false;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY) == fd) {
            stdoutClosed = stdoutClosed || fd == STDOUT_FILENO;
        }
    }
    BlockedSignals interruption;
    const karvolen::capture::Parsed parsed = karvolen::capture::ParseCommandLine({argv + 1, argv + argc});
    if (!parsed.options) {
        return parsed.status;
    }
    if (stdoutClosed && parsed.options->ToStdout()) {
        std::fprintf(stderr, "karvolen-capture: cannot write standard output: it is closed\n");
        return karvolen::capture::kCannotWrite;
    }
    karvolen::MarlexLink link;
    karvolen::fetch::SteadyClock clock;
    return karvolen::capture::Run(*parsed.options, link, clock, interruption);
}
