// How well dio keeps time and how fast it starts, on the simulator and a state file of the benchmark's own:
// `dio watch DIO-SIM-0002 --interval 1 --duration S --stats` (its achieved rate and lateness, as it
// reports them), and the wall time of `dio read DIO-SIM-0001 0x00` as a ratio to a bare C++ program that
// prints one line, median of N runs of each, alternated so that both see the same machine.
// Options: --seconds S (10; 0 skips the watch), --runs N (20), --dio PATH (the dio beside this program).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "PrivateSimulatorState.h"

extern char **environ;

namespace {

std::string besideThisProgram(const char *name) {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return name;
    const std::string self(path, static_cast<std::size_t>(length));
    return self.substr(0, self.rfind('/') + 1) + name;
}

// Runs the program to its end with stdout on /dev/null (stderr into `errorFile` when given); the wall time
// in milliseconds, or a negative number when it did not exit 0.
double timedRun(const std::vector<std::string> &command, const char *errorFile = nullptr) {
    std::vector<char *> argv;
    for (const std::string &word : command)
        argv.push_back(const_cast<char *>(word.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (errorFile)
        posix_spawn_file_actions_addopen(&actions, 2, errorFile, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const auto start = std::chrono::steady_clock::now();
    pid_t child = 0;
    int status = -1;
    if (posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ) == 0)
        waitpid(child, &status, 0);
    posix_spawn_file_actions_destroy(&actions);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ms : -1;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char *argv[]) {
    std::string seconds = "10", dio = besideThisProgram("dio");
    int runs = 20;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = argv[i + 1];
        else if (std::strcmp(argv[i], "--runs") == 0)
            runs = std::max(1, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--dio") == 0) // another build's, to compare starts
            dio = argv[i + 1];
    }
    const PrivateSimulatorState state;
    const std::string bare = besideThisProgram("bare_program");
    const std::string statsFile = std::string(std::getenv("KAVREN_SIM_STATE")) + ".stats";
    if (seconds != "0" &&
        timedRun({dio, "watch", "DIO-SIM-0002", "--interval", "1", "--duration", seconds, "--stats"},
                 statsFile.c_str()) < 0) {
        std::fprintf(stderr, "watch_rate: dio watch failed (see %s)\n", statsFile.c_str());
        return 1;
    }
    char stats[512] = {};
    if (FILE *file = std::fopen(statsFile.c_str(), "r")) {
        if (!std::fgets(stats, sizeof stats, file))
            stats[0] = '\0';
        std::fclose(file);
    }
    if (seconds != "0")
        std::printf("dio watch --interval 1 --duration %s: %s", seconds.c_str(), stats);
    std::vector<double> dioMs, bareMs;
    for (int i = 0; i < runs; ++i) {
        dioMs.push_back(timedRun({dio, "read", "DIO-SIM-0001", "0x00"}));
        bareMs.push_back(timedRun({bare}));
        if (dioMs.back() < 0 || bareMs.back() < 0) {
            std::fprintf(stderr, "watch_rate: a run failed\n");
            return 1;
        }
    }
    std::printf(
        "start: dio read %.2f ms, bare C++ program %.2f ms, ratio %.2fx (medians of %d alternated runs; "
        "goal: at most 1.5x)\n",
        median(dioMs), median(bareMs), median(dioMs) / median(bareMs), runs);
    return 0;
}
