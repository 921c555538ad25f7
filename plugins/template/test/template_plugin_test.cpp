// The template plugin against the fake host: it registers one driver, a
// start collects a file at once, hands it off and logs, a stop ends the
// driver's thread, and every outcome of a hand-off is logged.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "fake_host.h"
#include "infocollector/engine.h"

#define CHECK(condition)                                                    \
    do {                                                                    \
        if (!(condition)) {                                                 \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            return 1;                                                       \
        }                                                                   \
    } while (0)

int main() {
    char dir[] = "/tmp/template_plugin_test.XXXXXX";
    CHECK(mkdtemp(dir) != nullptr);
    fake_host::State& host = fake_host::Host();
    host.nodeDir = std::string(dir) + "/";
    host.parameters["interval_sec"] = "1";

    CHECK(fake_host::RegisterWithFakeEngine() == 0);
    CHECK(host.drivers.size() == 1);
    InputDriverBase* driver = host.drivers.begin()->second;

    CHECK(driver->Start() == 0);
    for (int i = 0; i < 50; ++i) {
        {
            std::lock_guard<std::mutex> lock(host.mutex);
            if (!host.sent.empty()) {
                break;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    CHECK(driver->Stop() == 0);
    {
        std::lock_guard<std::mutex> lock(host.mutex);
        CHECK(!host.sent.empty());
        CHECK(host.recorded.front() == host.sent.front());
        CHECK(access(host.sent.front().c_str(), R_OK) == 0);
        CHECK(!host.logged.empty());
        for (const std::string& file : host.sent) {
            unlink(file.c_str());
        }
        CHECK(host.pending.size() == host.sent.size());
    }

    // Results come later, on another thread, after Stop too: one line each,
    // naming the file, a refusal with the agent's code.
    const std::string name = host.sent.front().substr(host.sent.front().rfind('/') + 1);
    const fake_host::State::PendingSend first = host.pending.front();
    const struct {
        PluginSendOutcome outcome;
        uint32_t code;
        std::string line;
    } results[] = {
        {PLUGIN_SEND_DELIVERED, 0, "template_plugin 6 hand-off of " + name + ": delivered"},
        {PLUGIN_SEND_REFUSED, 0x03000012,
         "template_plugin 4 hand-off of " + name + ": refused, code 0x03000012"},
        {PLUGIN_SEND_TIMED_OUT, 0, "template_plugin 4 hand-off of " + name + ": no answer in time"},
    };
    for (const auto& result : results) {
        {
            std::lock_guard<std::mutex> lock(host.mutex);
            host.logged.clear();
            host.pending.assign(1, first);
        }
        CHECK(fake_host::AnswerSends(result.outcome, result.code) == 1);
        std::lock_guard<std::mutex> lock(host.mutex);
        CHECK(host.logged.size() == 1);
        CHECK(host.logged.front() == result.line);
    }
    delete driver;
    rmdir(dir);
    printf("template plugin: ok\n");
    return 0;
}
