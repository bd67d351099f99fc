// What the real panel costs on an X display while it polls. Runs bin/diopanel on the simulator in a
// virtual X server (it starts itself under `xvfb-run -a` when there is no display), works the window with
// xdotool as an operator would, and prints one table: CPU per 100 ms tick of the panel and of the X server
// (from /proc/<pid>/task/*/schedstat) for a bare Qt timer program (the floor), the panel with no device
// listed, polling steady inputs and polling changing inputs; then start -> window mapped and peak RSS.
//
//     display_cost [seconds per phase, default 20]
//
// The input lamps are read off the screen before the polling phases are measured, so a click that missed
// is reported instead of measuring the wrong thing.
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <signal.h>
#include <spawn.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>

#include "PrivateSimulatorState.h"

extern char **environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr double TickMs = 100;
constexpr auto Settle = 1500ms; // after a click: the device is listed, caches are warm
const char *const PanelTitle = "Test USB DIO";
const char *const FloorTitle = "Qt timer floor";

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// ---- processes

pid_t spawn(const std::vector<std::string> &arguments) {
    std::vector<char *> argv;
    for (const std::string &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        throw Failure("cannot start " + arguments[0]);
    return pid;
}

void run(const std::vector<std::string> &arguments) {
    int status = 0;
    waitpid(spawn(arguments), &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw Failure(arguments[0] + " " + arguments[1] + " failed");
}

void stop(pid_t pid) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

// CPU time of every thread of a process so far, in nanoseconds.
long long cpuNanoseconds(pid_t pid) {
    long long total = 0;
    const fs::path tasks = fs::path("/proc") / std::to_string(pid) / "task";
    std::error_code error;
    for (const auto &task : fs::directory_iterator(tasks, error)) {
        long long onCpu = 0;
        if (std::ifstream(task.path() / "schedstat") >> onCpu)
            total += onCpu;
    }
    if (error)
        throw Failure("cannot read " + tasks.string());
    return total;
}

double peakResidentMiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stod(line.substr(6)) / 1024.0; // given in kB
    }
    throw Failure("no VmHWM for the panel");
}

std::string commandLine(const fs::path &process) {
    std::ifstream file(process / "cmdline", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return text;
}

// The X server that serves DISPLAY: the Xvfb (or Xorg) whose arguments name that display.
pid_t xServerPid() {
    std::string display = std::getenv("DISPLAY");
    display = display.substr(0, display.find('.', display.find(':')));
    display = display.substr(display.find(':'));
    for (const auto &entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::istringstream arguments(commandLine(entry.path()));
        std::string program, argument;
        std::getline(arguments, program, '\0');
        const std::string base = fs::path(program).filename();
        if (base != "Xvfb" && base != "Xorg" && base != "X")
            continue;
        while (std::getline(arguments, argument, '\0')) {
            if (argument == display)
                return static_cast<pid_t>(std::stol(name));
        }
    }
    throw Failure("no X server process found for DISPLAY " + display);
}

// ---- the display

class Desktop {
public:
    Desktop() : display_(XOpenDisplay(nullptr)) {
        if (display_ == nullptr)
            throw Failure("cannot open the X display");
        XSetErrorHandler(ignoreError); // a window may be gone by the time its title is asked for
        XSelectInput(display_, DefaultRootWindow(display_), SubstructureNotifyMask);
    }
    ~Desktop() { XCloseDisplay(display_); }
    Desktop(const Desktop &) = delete;
    Desktop &operator=(const Desktop &) = delete;

    // Waits for a top-level window with this title to be mapped; returns it.
    Window waitMapped(const char *title, std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            if (XPending(display_) == 0) {
                waitReadable(deadline);
                continue;
            }
            XEvent event;
            XNextEvent(display_, &event);
            if (event.type == MapNotify && hasTitle(event.xmap.window, title))
                return event.xmap.window;
        }
        throw Failure(std::string("the window \"") + title + "\" did not appear");
    }

    // The colours of the sixteen input lamps, read off the screen.
    std::array<unsigned long, 16> inputLamps(Window window) {
        std::array<unsigned long, 16> colours{};
        XImage *image = XGetImage(display_, window, 0, 160, 500, 32, AllPlanes, ZPixmap);
        if (image == nullptr)
            throw Failure("cannot read the window's pixels");
        for (int index = 0; index < 16; ++index) {
            const int right = index < 8 ? 224 : 464;
            colours[static_cast<std::size_t>(index)] =
                XGetPixel(image, right - 24 * (index % 8) + 8, 168 + 8 - 160);
        }
        XDestroyImage(image);
        return colours;
    }

    void discardEvents() { XSync(display_, True); }

private:
    static int ignoreError(Display *, XErrorEvent *) { return 0; }

    bool hasTitle(Window window, const char *title) {
        char *name = nullptr;
        const bool match =
            XFetchName(display_, window, &name) != 0 && name != nullptr && std::strcmp(name, title) == 0;
        if (name != nullptr)
            XFree(name);
        return match;
    }

    void waitReadable(Clock::time_point deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return;
        timeval wait{static_cast<time_t>(left.count() / 1000000),
                     static_cast<suseconds_t>(left.count() % 1000000)};
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(ConnectionNumber(display_), &readable);
        select(ConnectionNumber(display_) + 1, &readable, nullptr, nullptr, &wait);
    }

    Display *display_;
};

// ---- the operator

void click(Window window, int x, int y) {
    run({"xdotool", "mousemove", "--sync", "--window", std::to_string(window), std::to_string(x),
         std::to_string(y), "click", "1"});
    std::this_thread::sleep_for(300ms);
}

void pressKeys(const std::vector<std::string> &keys) {
    std::vector<std::string> command = {"xdotool", "key", "--delay", "100"};
    command.insert(command.end(), keys.begin(), keys.end());
    run(command);
    std::this_thread::sleep_for(300ms);
}

// ---- measuring

struct Cost {
    double panelMicros;
    double serverMicros;
};

Cost measurePhase(pid_t program, pid_t server, double seconds) {
    const long long programBefore = cpuNanoseconds(program);
    const long long serverBefore = cpuNanoseconds(server);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double ticks = seconds * 1000.0 / TickMs;
    return {(cpuNanoseconds(program) - programBefore) / 1000.0 / ticks,
            (cpuNanoseconds(server) - serverBefore) / 1000.0 / ticks};
}

// Whether the input lamps change within a second: the counting device's do, the loopback device's not.
bool inputsChange(Desktop &screen, Window window) {
    const auto first = screen.inputLamps(window);
    for (int sample = 0; sample < 10; ++sample) {
        std::this_thread::sleep_for(100ms);
        if (screen.inputLamps(window) != first)
            return true;
    }
    return false;
}

struct Figures {
    Cost floor{}, noDevice{}, steady{}, changing{};
    double startToMappedMs = 0;
    double peakMiB = 0;
};

Cost measureFloor(Desktop &screen, const fs::path &bin, pid_t server, double seconds) {
    const pid_t floor = spawn({(bin / "timer_floor").string()});
    screen.waitMapped(FloorTitle, 10s);
    std::this_thread::sleep_for(Settle);
    const Cost cost = measurePhase(floor, server, seconds);
    stop(floor);
    return cost;
}

void measurePanel(Desktop &screen, const fs::path &bin, pid_t server, double seconds, Figures &figures) {
    screen.discardEvents();
    const auto start = Clock::now();
    const pid_t panel = spawn({(bin / "diopanel").string()});
    const Window window = screen.waitMapped(PanelTitle, 10s);
    figures.startToMappedMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    try {
        std::this_thread::sleep_for(Settle);
        figures.noDevice = measurePhase(panel, server, seconds);

        click(window, 156, 104); // "Get Devices": the loopback device is selected, its inputs stay put
        std::this_thread::sleep_for(Settle);
        if (inputsChange(screen, window))
            throw Failure("the input lamps of DIO-SIM-0001 change: not the loopback device");
        figures.steady = measurePhase(panel, server, seconds);

        click(window, 208, 42);        // open the serial-number list
        pressKeys({"Down", "Return"}); // and pick its second device
        std::this_thread::sleep_for(Settle);
        if (!inputsChange(screen, window))
            throw Failure("the input lamps stand still: DIO-SIM-0002 was not picked");
        figures.changing = measurePhase(panel, server, seconds);
        figures.peakMiB = peakResidentMiB(panel);
    } catch (...) {
        stop(panel);
        throw;
    }
    stop(panel);
}

void printTable(const Figures &figures, double seconds) {
    const auto row = [](const char *phase, Cost cost) {
        std::printf("| %-40s | %8.0f | %8.0f |\n", phase, cost.panelMicros, cost.serverMicros);
    };
    std::printf("Panel on the simulator under Xvfb, %.0f s per phase, %u cores\n\n", seconds,
                std::thread::hardware_concurrency());
    std::printf("| %-40s | %8s | %8s |\n", "CPU per 100 ms tick (us)", "panel", "X server");
    std::printf("| %-40s | %8s | %8s |\n", "---", "---:", "---:");
    row("bare Qt timer program (the floor)", figures.floor);
    row("panel, no device listed", figures.noDevice);
    row("polling DIO-SIM-0001, inputs steady", figures.steady);
    row("polling DIO-SIM-0002, inputs changing", figures.changing);
    std::printf("| %-40s | %8.0f | %8s |\n", "start -> window mapped (ms)", figures.startToMappedMs, "");
    std::printf("| %-40s | %8.1f | %8s |\n", "peak RSS, VmHWM (MiB)", figures.peakMiB, "");
    const auto total = [](Cost cost) { return cost.panelMicros + cost.serverMicros; };
    std::printf("\nsteady polling above no device (panel + X server): %.0f us per tick\n",
                total(figures.steady) - total(figures.noDevice));
}

// Without a display the benchmark runs itself again inside a fresh virtual X server.
int runUnderXvfb(int argc, char *argv[]) {
    std::vector<char *> command = {const_cast<char *>("xvfb-run"), const_cast<char *>("-a"),
                                   const_cast<char *>("-s"), const_cast<char *>("-screen 0 1024x768x24")};
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    command.push_back(const_cast<char *>(self.c_str()));
    for (int i = 1; i < argc; ++i)
        command.push_back(argv[i]);
    command.push_back(nullptr);
    execvp(command[0], command.data());
    std::fprintf(stderr, "display_cost: cannot run xvfb-run: %s\n", std::strerror(errno));
    return 1;
}

} // namespace

int main(int argc, char *argv[]) {
    const char *display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0')
        return runUnderXvfb(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 20.0;
    if (!(seconds > 0)) {
        std::fprintf(stderr, "usage: display_cost [seconds per phase]\n");
        return 2;
    }
    const PrivateSimulatorState state; // the panels it starts inherit it
    try {
        const fs::path bin = fs::read_symlink("/proc/self/exe").parent_path();
        const pid_t server = xServerPid();
        Desktop screen;
        Figures figures;
        figures.floor = measureFloor(screen, bin, server, seconds);
        measurePanel(screen, bin, server, seconds, figures);
        printTable(figures, seconds);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "display_cost: %s\n", error.what());
        return 1;
    }
    return 0;
}
