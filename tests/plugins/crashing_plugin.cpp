// A plugin whose driver thread faults: input driver "crashing" starts a thread
// that, some 300 ms after Start, dereferences a null pointer while the marker
// file named by the environment variable CHS_TEST_CRASH_MARKER exists (the
// marker is deleted first, so the next run of the plugin does not fault). Without
// the marker the thread notes "crashing:running" and waits for Stop.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "infocollector/engine.h"
#include "test_plugin_journal.h"

namespace {

// Takes the marker away; true when it was there.
bool TakeMarker() {
    const char* path = std::getenv("CHS_TEST_CRASH_MARKER");
    return path != nullptr && unlink(path) == 0;
}

[[gnu::noinline]] void StoreThroughNull() {
    // Both volatile: the compiler neither drops the store nor turns it into a trap.
    volatile int* volatile target = nullptr;
    *target = 1;
}

class CrashingInputDriver : public InputDriverBase {
  public:
    ~CrashingInputDriver() override { Stop(); }
    int32_t Start() override {
        if (m_thread.joinable()) {
            return 0;
        }
        m_stop = false;
        m_thread = std::thread([this] { Run(); });
        JournalNote("crashing:start");
        return 0;
    }
    int32_t Stop() override {
        m_stop = true;
        if (m_thread.joinable()) {
            m_thread.join();
            JournalNote("crashing:stop");
        }
        return 0;
    }

  private:
    void Run() {
        for (int i = 0; i < 30 && !m_stop; ++i) {
            usleep(10000);
        }
        if (m_stop) {
            return;
        }
        if (TakeMarker()) {
            StoreThroughNull();
        }
        JournalNote("crashing:running");
        while (!m_stop) {
            usleep(20000);
        }
    }

    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

}  // namespace

extern "C" int32_t GetEngineVersion() { return INFOCOLLECT_ENGINE_VERSION; }

extern "C" int32_t RegisterPlugin(InfoCollectEngineClass* engine) {
    std::string name = "crashing";
    return engine->AddInputDriver(name, new CrashingInputDriver());
}
