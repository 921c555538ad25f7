// HTTPS upload of one 100 MB file to the local remote support service (nginx
// on loopback in front of the upload back end, scripts/remote_https/) by the
// project's client against the curl command, in the same run, to the same
// endpoint:
//
//   BM_Ours_HttpsUpload   HttpsClass::Upload without send limit, from an InputFileStreamClass
//   BM_Base_CurlCommand   curl -sS --fail -o /dev/null --cacert CA -F "file=@F;filename=N" URL
//
// One iteration is one whole upload: a new client or process, the TLS
// handshake, the multipart body and the answer, timed by the wall clock. The
// repetitions of the two run interleaved in random order (the machine's load
// changes), and the last line compares the medians of all uploads (target:
// ours at most 1.2 times curl's).
// CHS_BENCH_UPLOAD_MB changes the file size.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "include/infocollector/https_client.h"
#include "include/infocollector/transfer_stream.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

const char* const kScript = CHS_SOURCE_DIR "/scripts/remote_https/remote_https.sh";
const char* const kName = "bench.bin";

// Runs argv (argv[0] a path) with its output discarded; the exit status, -1 when it did not exit.
int Run(const std::vector<std::string>& argv) {
    std::vector<std::string> args = argv;
    std::vector<char*> pointers;
    for (std::string& arg : args) {
        pointers.push_back(arg.data());
    }
    pointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int spawned = posix_spawn(&pid, pointers[0], &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return -1;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

uint16_t FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    uint16_t port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

// The service and the file, made once for both benchmarks. The certificate
// names 127.0.0.1, so that no name has to be resolved.
struct Service {
    std::string dir;
    std::string file;
    std::string caPem;
    uint16_t port = 0;
    std::string error;
    std::vector<double> ours;
    std::vector<double> curl;

    std::string Uploaded() const { return dir + "/uploads/bench/" + kName; }
    std::string Url() const { return "https://127.0.0.1:" + std::to_string(port) + "/upload/bench/"; }

    void Start() {
        char pattern[] = "/tmp/chs-https-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            error = "mkdtemp failed";
            return;
        }
        dir = pattern;
        std::string ca = dir + "/ca";
        if (Run({"/bin/bash", kScript, "mkca", ca}) != 0 ||
            Run({"/bin/bash", kScript, "mkcert", ca, "server", "127.0.0.1", "IP:127.0.0.1"}) != 0) {
            error = "remote_https.sh cannot make the certificates (openssl?)";
            return;
        }
        for (int tries = 0; tries < 3 && port == 0; ++tries) {
            uint16_t candidate = FreePort();
            if (Run({"/bin/bash", kScript, "start", ca, std::to_string(candidate), "server",
                     dir + "/uploads"}) == 0) {
                port = candidate;
            } else {
                Run({"/bin/bash", kScript, "stop", ca});
            }
        }
        if (port == 0) {
            error = "the HTTPS service does not start (nginx?)";
            return;
        }
        std::ifstream in(ca + "/ca.pem");
        std::ostringstream text;
        text << in.rdbuf();
        caPem = text.str();
        WriteFile();
    }

    // Incompressible bytes, so that nothing on the way can shrink them.
    void WriteFile() {
        const char* sizeText = getenv("CHS_BENCH_UPLOAD_MB");
        long megabytes = sizeText != nullptr ? std::max(1L, atol(sizeText)) : 100;
        file = dir + "/" + kName;
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        std::mt19937_64 random(20261206);
        std::vector<uint64_t> block((1 << 20) / sizeof(uint64_t));
        for (long i = 0; i < megabytes; ++i) {
            for (uint64_t& word : block) {
                word = random();
            }
            out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(1 << 20));
        }
        if (!out) {
            error = "cannot write " + file;
        }
    }

    ~Service() {
        if (!dir.empty()) {
            Run({"/bin/bash", kScript, "stop", dir + "/ca"});
            std::error_code ignored;
            fs::remove_all(dir, ignored);
        }
    }
};

Service& TheService() {
    static Service* service = [] {
        auto* made = new Service();
        made->Start();
        return made;
    }();
    return *service;
}

// Times `upload` once per iteration; a wrong upload stops the benchmark.
template <typename Upload>
void Measure(benchmark::State& state, std::vector<double>& times, Upload upload) {
    Service& service = TheService();
    if (!service.error.empty()) {
        state.SkipWithError(service.error.c_str());
        return;
    }
    uint64_t size = fs::file_size(service.file);
    for (auto _ : state) {
        std::error_code ignored;
        fs::remove(service.Uploaded(), ignored);
        auto start = std::chrono::steady_clock::now();
        std::string failure = upload(service);
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (failure.empty() && fs::file_size(service.Uploaded(), ignored) != size) {
            failure = "the service did not store the whole file";
        }
        if (!failure.empty()) {
            state.SkipWithError(failure.c_str());
            break;
        }
        state.SetIterationTime(seconds);
        times.push_back(seconds);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void BM_Ours_HttpsUpload(benchmark::State& state) {
    Measure(state, TheService().ours, [](Service& service) -> std::string {
        HttpsClass client("127.0.0.1", service.port, service.caPem);
        client.SetUploadLimit(0);
        InputFileStreamClass source(service.file);
        HttpReponseStreamClass response;
        HttpHeaders headers;
        if (!client.Upload(&source, kName, "/upload/bench/", headers, 600, 30, &response)) {
            return "HttpsClass::Upload failed, error " + std::to_string(client.GetErrorCode());
        }
        return response.status == 201 ? "" : "the service answered " + std::to_string(response.status);
    });
}
BENCHMARK(BM_Ours_HttpsUpload)
    ->Iterations(2)
    ->Repetitions(4)
    ->ReportAggregatesOnly(true)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_Base_CurlCommand(benchmark::State& state) {
    Measure(state, TheService().curl, [](Service& service) -> std::string {
        int status =
            Run({"/usr/bin/curl", "-sS", "--fail", "-o", "/dev/null", "--cacert", service.dir + "/ca/ca.pem",
                 "-F", "file=@" + service.file + ";filename=" + kName, service.Url()});
        return status == 0 ? "" : "curl exited with " + std::to_string(status);
    });
}
BENCHMARK(BM_Base_CurlCommand)
    ->Iterations(2)
    ->Repetitions(4)
    ->ReportAggregatesOnly(true)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    CURL_Init();
    std::vector<char*> args(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    if (std::none_of(argv, argv + argc, [](const char* arg) {
            return std::string(arg).rfind("--benchmark_enable_random_interleaving", 0) == 0;
        })) {
        args.insert(args.begin() + 1, interleave.data());
    }
    argc = static_cast<int>(args.size());
    args.push_back(nullptr);
    argv = args.data();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Service& service = TheService();
    double ours = Median(service.ours);
    double curl = Median(service.curl);
    if (!service.error.empty()) {
        printf("https upload benchmark skipped: %s\n", service.error.c_str());
    } else if (ours > 0 && curl > 0) {
        printf(
            "https upload of %.0f MB, median of %zu and %zu: HttpsClass %.0f ms, curl command %.0f ms, "
            "ratio %.2f (target <= 1.20)\n",
            static_cast<double>(fs::file_size(service.file)) / (1 << 20), service.ours.size(),
            service.curl.size(), ours * 1000, curl * 1000, ours / curl);
    }
    delete &service;
    return 0;
}
