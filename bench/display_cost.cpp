// What the real panel costs on an X display while it polls. Runs bin/diopanel on the simulator in a
// virtual X server (it starts itself under `xvfb-run -a` when there is no display) with the floor program
// (bin/timer_floor: a bare Qt window with a 100 ms timer) running beside it the whole time, works the
// panel's window with xdotool as an operator would, and measures three phases: no device listed, polling
// steady inputs, polling changing inputs. Each phase takes the CPU time (/proc/<pid>/task/*/schedstat) of
// the floor, the panel and the X server over the same seconds, so the panel's cost over the floor is a
// ratio that holds while the machine's speed drifts. Prints each run, then the medians of all runs (each
// figure's own median) with start -> window mapped and peak RSS.
//
//     display_cost [--seconds S] [--runs N]      (20 s per phase and 3 runs by default)
//
// The input lamps are read off the screen before the polling phases are measured, so a click that missed
// is reported instead of measuring the wrong thing.
#include <algorithm>
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

// CPU per 100 ms tick of the floor program, the panel and the X server over the same seconds.
struct Phase {
    double floor = 0;
    double panel = 0;
    double server = 0;

    // What the panel and the X server cost beyond the floor, as a share of the floor.
    double overFloor() const { return (panel + server - floor) / floor; }
};

struct Run {
    Phase noDevice, steady, changing;
    double startToMappedMs = 0;
    double peakMiB = 0;
};

struct Processes {
    pid_t floor;
    pid_t panel;
    pid_t server;
};

Phase measurePhase(const Processes &processes, double seconds) {
    const auto start = Clock::now();
    const long long floorBefore = cpuNanoseconds(processes.floor);
    const long long panelBefore = cpuNanoseconds(processes.panel);
    const long long serverBefore = cpuNanoseconds(processes.server);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double ticks = std::chrono::duration<double, std::milli>(Clock::now() - start).count() / TickMs;
    const auto perTick = [ticks](long long nanoseconds) { return nanoseconds / 1000.0 / ticks; };
    return {perTick(cpuNanoseconds(processes.floor) - floorBefore),
            perTick(cpuNanoseconds(processes.panel) - panelBefore),
            perTick(cpuNanoseconds(processes.server) - serverBefore)};
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

// Kills the process when it goes out of scope.
class Child {
public:
    explicit Child(pid_t pid) : pid_(pid) {}
    ~Child() { stop(pid_); }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    pid_t pid() const { return pid_; }

private:
    pid_t pid_;
};

// One run: the floor program starts first and keeps running beside the panel through every phase.
Run measureRun(Desktop &screen, const fs::path &bin, pid_t server, double seconds) {
    Run run;
    screen.discardEvents();
    const Child floor(spawn({(bin / "timer_floor").string()}));
    screen.waitMapped(FloorTitle, 10s);
    const auto start = Clock::now();
    const Child panel(spawn({(bin / "diopanel").string()}));
    const Window window = screen.waitMapped(PanelTitle, 10s);
    run.startToMappedMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    const Processes processes{floor.pid(), panel.pid(), server};

    std::this_thread::sleep_for(Settle);
    run.noDevice = measurePhase(processes, seconds);

    click(window, 156, 104); // "Get Devices": the loopback device is selected, its inputs stay put
    std::this_thread::sleep_for(Settle);
    if (inputsChange(screen, window))
        throw Failure("the input lamps of DIO-SIM-0001 change: not the loopback device");
    run.steady = measurePhase(processes, seconds);

    click(window, 208, 42);        // open the serial-number list
    pressKeys({"Down", "Return"}); // and pick its second device
    std::this_thread::sleep_for(Settle);
    if (!inputsChange(screen, window))
        throw Failure("the input lamps stand still: DIO-SIM-0002 was not picked");
    run.changing = measurePhase(processes, seconds);
    run.peakMiB = peakResidentMiB(panel.pid());
    return run;
}

// ---- reporting

template <typename Figure> double median(const std::vector<Run> &runs, Figure figure) {
    std::vector<double> values;
    for (const Run &run : runs)
        values.push_back(figure(run));
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

void printRun(std::size_t number, const Run &run) {
    std::printf(
        "run %zu: over the floor: no device %.2fx, steady %.2fx, changing %.2fx; floor %.0f/%.0f/%.0f us; "
        "start %.0f ms; peak RSS %.1f MiB\n",
        number, run.noDevice.overFloor(), run.steady.overFloor(), run.changing.overFloor(),
        run.noDevice.floor, run.steady.floor, run.changing.floor, run.startToMappedMs, run.peakMiB);
}

void printTable(const std::vector<Run> &runs, double seconds) {
    std::printf(
        "\nPanel and floor side by side on the simulator under Xvfb, %.0f s per phase, %u cores, median "
        "of %zu run%s\n\n",
        seconds, std::thread::hardware_concurrency(), runs.size(), runs.size() == 1 ? "" : "s");
    std::printf("| %-38s | %6s | %6s | %8s | %14s |\n", "CPU per 100 ms tick (us)", "floor", "panel",
                "X server", "over the floor");
    std::printf("| %-38s | %6s | %6s | %8s | %14s |\n", "---", "---:", "---:", "---:", "---:");
    const auto row = [&runs](const char *name, Phase Run::*phase) {
        std::printf("| %-38s | %6.0f | %6.0f | %8.0f | %13.2fx |\n", name,
                    median(runs, [phase](const Run &run) { return (run.*phase).floor; }),
                    median(runs, [phase](const Run &run) { return (run.*phase).panel; }),
                    median(runs, [phase](const Run &run) { return (run.*phase).server; }),
                    median(runs, [phase](const Run &run) { return (run.*phase).overFloor(); }));
    };
    row("panel, no device listed", &Run::noDevice);
    row("polling DIO-SIM-0001, inputs steady", &Run::steady);
    row("polling DIO-SIM-0002, inputs changing", &Run::changing);
    std::printf("| %-38s | %6s | %6.0f | %8s | %14s |\n", "start -> window mapped (ms)", "",
                median(runs, [](const Run &run) { return run.startToMappedMs; }), "", "");
    std::printf("| %-38s | %6s | %6.1f | %8s | %14s |\n", "peak RSS, VmHWM (MiB)", "",
                median(runs, [](const Run &run) { return run.peakMiB; }), "", "");
}

struct Options {
    double seconds = 20;
    int runs = 3;
};

std::optional<Options> parseOptions(int argc, char *argv[]) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const double value = std::atof(argv[i + 1]);
        if (name == "--seconds" && value > 0)
            options.seconds = value;
        else if (name == "--runs" && value >= 1 && value <= 99)
            options.runs = static_cast<int>(value);
        else
            return std::nullopt;
    }
    if (argc % 2 == 0)
        return std::nullopt;
    return options;
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
    const std::optional<Options> options = parseOptions(argc, argv);
    if (!options) {
        std::fprintf(stderr, "usage: display_cost [--seconds S] [--runs N]\n");
        return 2;
    }
    const char *display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0')
        return runUnderXvfb(argc, argv);
    const PrivateSimulatorState state; // the panels it starts inherit it
    try {
        const fs::path bin = fs::read_symlink("/proc/self/exe").parent_path();
        const pid_t server = xServerPid();
        Desktop screen;
        std::vector<Run> runs;
        for (int number = 1; number <= options->runs; ++number) {
            runs.push_back(measureRun(screen, bin, server, options->seconds));
            printRun(runs.size(), runs.back());
            std::fflush(stdout);
        }
        printTable(runs, options->seconds);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "display_cost: %s\n", error.what());
        return 1;
    }
    return 0;
}
