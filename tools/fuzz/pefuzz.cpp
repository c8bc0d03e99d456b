// pefuzz: runs qfsim on mutated copies of PE files and fails when qfsim dies without a word.
//
//   pefuzz --qfsim PATH [options] PROGRAM [FILE]...
//     Each run copies PROGRAM and the FILEs into a scratch folder side by side (so that PROGRAM
//     finds the DLLs it imports there), changes one to four random bytes of one of them, and runs
//     qfsim on the copy of PROGRAM.
//   --emulator PATH      run qfsim through this program (qemu-i386 on hosts that are not i386)
//   --seed N             the seed of the whole series (default: from the clock; always printed)
//   --runs N             how many runs at most (default 100)
//   --seconds N          start no run after N seconds (default 60)
//   --timeout N          a run that takes longer than N seconds is ended and counted as a hang
//                        (default 10)
//   --run K              repeat run K of the series alone (with the series' --seed)
//   --keep DIR           copy each failing file into DIR
//
// A run fails when qfsim is ended by a signal (an abort included), exits with a code outside its
// documented set (the program's own exit code, which qfsim --report-exit names, or one of
// qfsim's own codes with a message), or says that the machine itself failed (97), which is as
// much a fault of the machine as a death. Exit 0 when no run failed, 1 when some did, 2 for bad
// usage.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr int kQfsimOwnCodes[] = {2, 3, 97, 98, 99};  // as qfsim's header lists them
constexpr int kMachineFailed = 97;

struct Options {
    std::string qfsim, emulator, keep;
    uint64_t seed = 0;
    bool seed_given = false;
    long runs = 100, seconds = 60, timeout = 10, only_run = -1;
    std::vector<std::string> files;  // the program first
};

struct File {
    std::string name;  // base name, as it lies in the scratch folder
    std::vector<uint8_t> bytes;
};

struct Mutation {
    size_t file = 0;
    std::vector<std::pair<size_t, uint8_t>> changes;  // offset, new byte
};

// splitmix64: every run draws from its own stream, so that one run repeats alone.
struct Random {
    uint64_t state;
    uint64_t Next()
    {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint64_t Below(uint64_t n) { return Next() % n; }
};

int Usage(const char* problem)
{
    std::fprintf(stderr, "pefuzz: %s\n", problem);
    std::fprintf(stderr, "usage: pefuzz --qfsim PATH [--emulator PATH] [--seed N] [--runs N] [--seconds N]\n"
                         "              [--timeout N] [--run K] [--keep DIR] PROGRAM [FILE]...\n");
    return 2;
}

bool ParseUnsigned(const char* text, uint64_t* value)
{
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-') return false;
    *value = v;
    return true;
}

bool ParseCount(const char* text, long max, long* value)
{
    uint64_t v;
    if (!ParseUnsigned(text, &v) || v > (uint64_t)max) return false;
    *value = (long)v;
    return true;
}

int Parse(int argc, char** argv, Options* o)
{
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool has_value = i + 1 < argc;
        if (arg == "--qfsim" && has_value) {
            o->qfsim = argv[++i];
        } else if (arg == "--emulator" && has_value) {
            o->emulator = argv[++i];
        } else if (arg == "--keep" && has_value) {
            o->keep = argv[++i];
        } else if (arg == "--seed" && has_value) {
            if (!ParseUnsigned(argv[++i], &o->seed)) return Usage("--seed wants a number");
            o->seed_given = true;
        } else if (arg == "--runs" && has_value) {
            if (!ParseCount(argv[++i], 100000000, &o->runs)) return Usage("--runs wants a count");
        } else if (arg == "--seconds" && has_value) {
            if (!ParseCount(argv[++i], 86400, &o->seconds)) return Usage("--seconds wants a count");
        } else if (arg == "--timeout" && has_value) {
            if (!ParseCount(argv[++i], 3600, &o->timeout) || o->timeout == 0) return Usage("--timeout wants 1 or more");
        } else if (arg == "--run" && has_value) {
            if (!ParseCount(argv[++i], 100000000, &o->only_run)) return Usage("--run wants a run number");
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Usage(("unknown option or missing value: " + arg).c_str());
        } else {
            o->files.push_back(arg);
        }
    }
    if (o->qfsim.empty()) return Usage("--qfsim is required");
    if (o->files.empty()) return Usage("no program given");
    if (o->only_run >= 0 && !o->seed_given) return Usage("--run repeats a run of a series: give its --seed");
    return 0;
}

std::string BaseName(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool ReadAll(const std::string& path, std::vector<uint8_t>* bytes)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool WriteAll(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write((const char*)bytes.data(), (std::streamsize)bytes.size());
    return (bool)out;
}

double Now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

Mutation Draw(uint64_t seed, long run, const std::vector<File>& files)
{
    Random r{seed ^ ((uint64_t)run * 0xD1B54A32D192ED03ull)};
    Mutation m;
    do m.file = (size_t)r.Below(files.size());
    while (files[m.file].bytes.empty());
    const std::vector<uint8_t>& bytes = files[m.file].bytes;
    unsigned count = 1 + (unsigned)r.Below(4);
    for (unsigned i = 0; i < count; ++i) {
        size_t offset = (size_t)r.Below(bytes.size());
        uint8_t value = (uint8_t)(bytes[offset] ^ (1 + r.Below(255)));  // never the byte it was
        m.changes.emplace_back(offset, value);
    }
    return m;
}

std::string Describe(const Mutation& m, const std::vector<File>& files)
{
    std::string text = files[m.file].name + ":";
    for (const auto& c : m.changes) {
        char item[48];
        std::snprintf(item, sizeof item, " 0x%zX=0x%02X", c.first, c.second);
        text += item;
    }
    return text;
}

enum class Outcome { Passed, Failed, Hang };

struct RunResult {
    Outcome outcome = Outcome::Passed;
    std::string why;
    int exit_code = -1;
};

bool HasMessage(const std::string& err)
{
    return err.find("qfsim: ") != std::string::npos || err.find("sim: ") != std::string::npos;
}

RunResult Judge(int status, const std::string& err)
{
    RunResult r;
    if (WIFSIGNALED(status)) {
        int sig = WTERMSIG(status);
        r.outcome = Outcome::Failed;
        r.why = "qfsim was ended by signal " + std::to_string(sig) + " (" + strsignal(sig) + ")";
        return r;
    }
    r.exit_code = WEXITSTATUS(status);
    const std::string programs = "qfsim: the program's exit code is " + std::to_string(r.exit_code) + "\n";
    if (err.find(programs) != std::string::npos) return r;
    bool own = false;
    for (int c : kQfsimOwnCodes) own = own || c == r.exit_code;
    if (!own) {
        r.outcome = Outcome::Failed;
        r.why = "qfsim exited with " + std::to_string(r.exit_code) + ", outside its documented set";
    } else if (r.exit_code == kMachineFailed) {
        r.outcome = Outcome::Failed;
        r.why = "the machine itself failed";
    } else if (!HasMessage(err)) {
        r.outcome = Outcome::Failed;
        r.why = "qfsim exited with " + std::to_string(r.exit_code) + " without a message";
    }
    return r;
}

// Runs qfsim on `program` with its output discarded and its errors in `err_path`.
RunResult RunOnce(const Options& o, const std::string& program, const std::string& err_path)
{
    std::vector<std::string> args;
    if (!o.emulator.empty()) args.push_back(o.emulator);
    args.push_back(o.qfsim);
    args.push_back("--report-exit");
    args.push_back(program);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);

    pid_t pid = fork();
    if (pid < 0) {
        std::perror("pefuzz: fork");
        std::exit(2);
    }
    if (pid == 0) {
        rlimit no_core = {0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        int in = open("/dev/null", O_RDONLY);
        int out = open("/dev/null", O_WRONLY);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0) _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    double deadline = Now() + (double)o.timeout;
    bool hung = false;
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) {
            std::perror("pefuzz: waitpid");
            std::exit(2);
        }
        if (!hung && Now() > deadline) {
            kill(pid, SIGKILL);
            hung = true;
        }
        timespec pause = {0, 5 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    std::vector<uint8_t> err_bytes;
    ReadAll(err_path, &err_bytes);
    std::string err(err_bytes.begin(), err_bytes.end());
    if (hung) {
        RunResult r;
        r.outcome = Outcome::Hang;
        r.why = "qfsim ran longer than " + std::to_string(o.timeout) + " s and was ended";
        return r;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 127 && err.empty()) {
        std::fprintf(stderr, "pefuzz: cannot run %s\n", argv[0]);
        std::exit(2);
    }
    RunResult r = Judge(status, err);
    if (r.outcome == Outcome::Failed && !err.empty()) r.why += "\n    its error output: " + err.substr(0, 600);
    return r;
}

}  // namespace

int main(int argc, char** argv)
{
    Options o;
    if (int code = Parse(argc, argv, &o)) return code;
    if (!o.seed_given) o.seed = (uint64_t)time(nullptr) ^ ((uint64_t)getpid() << 32);

    std::vector<File> files;
    std::set<std::string> names;
    for (const std::string& path : o.files) {
        File f;
        f.name = BaseName(path);
        if (!ReadAll(path, &f.bytes)) return Usage(("cannot read " + path).c_str());
        if (!names.insert(f.name).second) return Usage(("two files named " + f.name).c_str());
        files.push_back(f);
    }
    bool any_bytes = false;
    for (const File& f : files) any_bytes = any_bytes || !f.bytes.empty();
    if (!any_bytes) return Usage("every file is empty");

    const char* tmp = getenv("TMPDIR");
    std::string scratch_pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/pefuzz.XXXXXX";
    std::vector<char> pattern(scratch_pattern.begin(), scratch_pattern.end());
    pattern.push_back('\0');
    const char* scratch = mkdtemp(pattern.data());
    if (scratch == nullptr) {
        std::perror("pefuzz: mkdtemp");
        return 2;
    }
    for (const File& f : files)
        if (!WriteAll(std::string(scratch) + "/" + f.name, f.bytes)) return Usage("cannot write the scratch folder");
    const std::string program = std::string(scratch) + "/" + files[0].name;
    const std::string err_path = std::string(scratch) + "/stderr.txt";

    std::printf("pefuzz: seed %llu\n", (unsigned long long)o.seed);
    std::fflush(stdout);
    long first = o.only_run >= 0 ? o.only_run : 0;
    long last = o.only_run >= 0 ? o.only_run + 1 : o.runs;
    long done = 0, failed = 0, hangs = 0;
    std::vector<long> by_exit(256, 0);
    double start = Now();
    for (long run = first; run < last; ++run) {
        if (o.only_run < 0 && Now() - start > (double)o.seconds) break;
        Mutation m = Draw(o.seed, run, files);
        File& target = files[m.file];
        std::vector<uint8_t> mutated = target.bytes;
        for (const auto& c : m.changes) mutated[c.first] = c.second;
        const std::string target_path = std::string(scratch) + "/" + target.name;
        WriteAll(target_path, mutated);
        RunResult r = RunOnce(o, program, err_path);
        WriteAll(target_path, target.bytes);
        ++done;
        if (r.exit_code >= 0) ++by_exit[r.exit_code];
        if (r.outcome == Outcome::Passed) continue;
        if (r.outcome == Outcome::Hang) ++hangs;
        else ++failed;
        std::printf("run %ld %s: %s\n    mutation %s\n    repeat: --seed %llu --run %ld\n", run,
                    r.outcome == Outcome::Hang ? "hung" : "FAILED", r.why.c_str(), Describe(m, files).c_str(),
                    (unsigned long long)o.seed, run);
        if (!o.keep.empty() && r.outcome == Outcome::Failed)
            WriteAll(o.keep + "/run-" + std::to_string(run) + "-" + target.name, mutated);
        std::fflush(stdout);
    }
    for (const File& f : files) unlink((std::string(scratch) + "/" + f.name).c_str());
    unlink(err_path.c_str());
    rmdir(scratch);

    std::string exits;
    for (int c = 0; c < 256; ++c)
        if (by_exit[c]) exits += " " + std::to_string(c) + ":" + std::to_string(by_exit[c]);
    std::printf("pefuzz: seed %llu, %ld runs in %.1f s, %ld failed, %ld hung; exit codes (code:runs)%s\n",
                (unsigned long long)o.seed, done, Now() - start, failed, hangs, exits.c_str());
    return failed ? 1 : 0;
}
