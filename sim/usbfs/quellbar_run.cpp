// quellbar-run PROGRAM [ARGS...]: runs PROGRAM with the simulated Quellbar
// (set up from QUELLBAR_SIM) on an emulated usbfs, under umockdev's preload,
// so that the system's libusb finds it as it finds a real one.
//
// PROGRAM keeps this process id (scripts signal and watch it); the testbed
// lives in a child that ends when PROGRAM does.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "options.h"
#include "usbfs.h"

namespace {

constexpr char kPreload[] = "libumockdev-preload.so.0";

// Hosts the bus until the parent (PROGRAM by then) ends; reports the
// testbed's folder on `report`, or nothing if it could not start.
[[noreturn]] void Host(int report, pid_t parent)
{
    sigset_t ending;
    sigemptyset(&ending);
    for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&ending, s);
    pthread_sigmask(SIG_BLOCK, &ending, nullptr);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(0);

    quellbar::Options options;
    const char* text = std::getenv("QUELLBAR_SIM");
    if (auto problem = quellbar::ParseOptions(text ? text : "", options); !problem.empty()) {
        std::fprintf(stderr, "QUELLBAR_SIM: %s (the rest is ignored)\n", problem.c_str());
    }
    {
        usbfs::Bus bus;
        if (options.present) bus.AddQuellbar(1, options);
        const std::string dir = bus.Dir() + "\n";
        if (write(report, dir.data(), dir.size()) != static_cast<ssize_t>(dir.size())) _exit(1);
        close(report);
        int signal = 0;
        sigwait(&ending, &signal);
    }
    _exit(0);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PROGRAM [ARGS...]\n", argv[0]);
        return 2;
    }
    int pipefd[2];
    const pid_t parent = getpid();
    const pid_t host = pipe(pipefd) == 0 ? fork() : -1;
    if (host < 0) return 1;
    if (host == 0) Host(pipefd[1], parent);
    close(pipefd[1]);
    std::string dir;
    char c;
    while (read(pipefd[0], &c, 1) == 1 && c != '\n') dir += c;
    close(pipefd[0]);
    if (dir.empty()) {
        std::fprintf(stderr, "%s: the emulated USB bus did not start\n", argv[0]);
        return 1;
    }
    setenv("UMOCKDEV_DIR", dir.c_str(), 1);
    const char* preload = std::getenv("LD_PRELOAD");
    setenv("LD_PRELOAD", preload && *preload ? (std::string(kPreload) + ":" + preload).c_str() : kPreload, 1);
    execvp(argv[1], argv + 1);
    std::perror(argv[1]);
    kill(host, SIGTERM);
    return 127;
}
