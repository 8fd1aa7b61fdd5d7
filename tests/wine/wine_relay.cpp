// wine_relay - runs a Windows test program of the Windows build under wine
// and serves its requests for simulated adapters (the protocol is in
// tests/windows/peer.h).
//
//   wine_relay PROGRAM.exe [ARGS...]
//
// The environment names the wine prefix (WINEPREFIX), the simulator
// (KORVA_SIM) and, optionally, the wine loader (KORVA_WINE, else "wine")
// and a file whose presence says that the prefix cannot run the program
// (KORVA_WINE_UNAVAILABLE: the relay prints "wine_relay: skipped: " and
// the file's line, which the test counts as skipped, and exits with 125;
// no exit status of its own could tell, as a Windows program's status is
// cut to its low byte).  The program runs with the prefix's drive
// C: as its working directory, where it finds its files.  A simulator on
// a pseudo-terminal is linked as a COM port of the prefix (dosdevices/com5,
// com6, ...), which wine opens like a serial port.  The relay passes the
// program's other output through, and exits with the program's exit
// status (a failure of its own: 125).
#include "sim.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

extern char **environ;

namespace {

namespace fs = std::filesystem;
using korva_test::Sim;

constexpr int kRelayFailed = 125;
constexpr int kFirstComPort = 5;

std::string g_prefix;
std::map<std::string, std::unique_ptr<Sim>> g_sims;
int g_nextCom = kFirstComPort;

std::vector<std::string> Words(const std::string &line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

/* The rest of line after its first n words. */
std::string After(const std::string &line, int n) {
    size_t pos = 0;
    for (int i = 0; i < n; ++i) {
        pos = line.find_first_not_of(' ', pos);
        if (pos == std::string::npos) return "";
        pos = line.find(' ', pos);
        if (pos == std::string::npos) return "";
    }
    pos = line.find_first_not_of(' ', pos);
    return pos == std::string::npos ? "" : line.substr(pos);
}

std::string Start(const std::vector<std::string> &w) {
    if (w.size() < 3) return "error usage: start ID pty|tcp [ARGS...]";
    std::vector<std::string> args;
    std::string name;
    if (w[2] == "pty") {
        const int port = g_nextCom++;
        const std::string link = g_prefix + "/dosdevices/com" + std::to_string(port);
        std::error_code ec;
        fs::remove(link, ec);
        args = {"--pty", link};
        name = "COM" + std::to_string(port);
    } else if (w[2] == "tcp") {
        args = {"--tcp", "0"};
    } else {
        return "error unknown transport " + w[2];
    }
    args.insert(args.end(), w.begin() + 3, w.end());
    auto sim = std::make_unique<Sim>(args);
    if (!sim->Ok()) return "error " + sim->Error();
    if (name.empty()) name = sim->TcpName();
    g_sims[w[1]] = std::move(sim);
    return "ok " + name;
}

std::string Serve(const std::string &line) {
    const std::vector<std::string> w = Words(line);
    if (w.empty()) return "error empty request";
    if (w[0] == "start") return Start(w);
    if (w.size() < 2) return "error usage";
    auto found = g_sims.find(w[1]);
    if (found == g_sims.end()) return "error no simulator " + w[1];
    Sim &sim = *found->second;
    if (w[0] == "cmd") return sim.Command(After(line, 2)) ? "ok" : "error";
    if (w[0] == "wait") {
        const auto got = sim.WaitFor(After(line, 2));
        return got ? "ok " + *got : "timeout";
    }
    if (w[0] == "mark") {
        sim.Mark();
        return "ok";
    }
    if (w[0] == "count") return "ok " + std::to_string(sim.Count(After(line, 2)));
    if (w[0] == "kill") {
        kill(sim.Pid(), SIGKILL);
        return sim.WaitExit() ? "ok" : "error still running";
    }
    if (w[0] == "events") {
        const std::string file = "korva-events-" + w[1] + ".txt";
        std::ofstream out(g_prefix + "/drive_c/" + file, std::ios::trunc);
        for (const std::string &event : sim.Events()) out << event << '\n';
        return out ? "ok C:\\" + file : "error cannot write the events";
    }
    return "error unknown request " + w[0];
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: wine_relay PROGRAM.exe [ARGS...]\n");
        return 2;
    }
    const char *prefix = std::getenv("WINEPREFIX");
    if (!prefix || !*prefix) {
        std::fprintf(stderr, "wine_relay: WINEPREFIX is not set\n");
        return kRelayFailed;
    }
    g_prefix = prefix;
    if (const char *unavailable = std::getenv("KORVA_WINE_UNAVAILABLE"); unavailable && *unavailable) {
        std::ifstream why(unavailable);
        if (std::string line; std::getline(why, line)) {
            std::printf("wine_relay: skipped: %s\n", line.c_str());
            return kRelayFailed;
        }
    }
    // COM ports of an earlier run are gone; so is the prefix's own COM1
    // (a link to /dev/ttyS0), which discovery would otherwise probe.
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(g_prefix + "/dosdevices", ec)) {
        const std::string n = entry.path().filename().string();
        if (n.rfind("com", 0) == 0) fs::remove(entry.path(), ec);
    }

    // A wine server of our own, started before the program's, with its
    // output discarded: wine's server opens the COM ports' pseudo-terminals
    // and takes the first as its controlling terminal, and the hang-up a
    // simulator's exit then sends it makes it dump its object table on
    // standard error.
    {
        posix_spawn_file_actions_t quiet;
        posix_spawn_file_actions_init(&quiet);
        posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&quiet, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        static char server[] = "wineserver", persist[] = "-p5";
        char *serverArgs[] = {server, persist, nullptr};
        pid_t pid = -1;
        if (posix_spawnp(&pid, "wineserver", &quiet, nullptr, serverArgs, environ) == 0) {
            int status = 0;
            waitpid(pid, &status, 0);
        }
        posix_spawn_file_actions_destroy(&quiet);
    }

    int toChild[2], fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) {
        std::perror("wine_relay: pipe2");
        return kRelayFailed;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
    posix_spawn_file_actions_addchdir_np(&actions, (g_prefix + "/drive_c").c_str());
    // KORVA_WINE names the 64-bit loader itself where the "wine" script
    // would pick a 32-bit one.
    const char *wine = std::getenv("KORVA_WINE");
    if (!wine || !*wine) wine = "wine";
    std::vector<char *> args;
    args.push_back(const_cast<char *>(wine));
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    pid_t child = -1;
    const int rc = posix_spawnp(&child, wine, &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(toChild[0]);
    close(fromChild[1]);
    if (rc != 0) {
        std::fprintf(stderr, "wine_relay: cannot start wine: %s\n", std::strerror(rc));
        return kRelayFailed;
    }
    signal(SIGPIPE, SIG_IGN);

    FILE *in = fdopen(fromChild[0], "r");
    char buf[8192];
    while (std::fgets(buf, sizeof buf, in) != nullptr) {
        std::string line = buf;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (line.rfind("@@ ", 0) != 0) {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
            continue;
        }
        const std::string reply = Serve(line.substr(3)) + "\n";
        if (write(toChild[1], reply.data(), reply.size()) != static_cast<ssize_t>(reply.size())) break;
    }
    std::fclose(in);
    close(toChild[1]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    g_sims.clear();
    if (!WIFEXITED(status)) {
        std::fprintf(stderr, "wine_relay: the program did not exit normally\n");
        return kRelayFailed;
    }
    return WEXITSTATUS(status);
}
