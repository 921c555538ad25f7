// What the test plugins did, as lines appended to the file named by the
// environment variable CHS_TEST_PLUGIN_JOURNAL ("<plugin>:<event>"). A file
// outlives the library, so a test can also see what a plugin did before the
// engine unloaded it. Standard headers only, like the plugins themselves.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "infocollector/engine.h"

namespace {

inline void JournalNote(const std::string& line) {
    const char* path = std::getenv("CHS_TEST_PLUGIN_JOURNAL");
    if (path == nullptr) {
        return;
    }
    if (FILE* journal = std::fopen(path, "a")) {
        std::fprintf(journal, "%s\n", line.c_str());
        std::fclose(journal);
    }
}

// An input driver that notes its calls and answers `ret` to them.
class JournalInputDriver : public InputDriverBase {
  public:
    JournalInputDriver(std::string plugin, std::string name, int32_t ret)
        : m_plugin(std::move(plugin)), m_name(std::move(name)), m_ret(ret) {}
    ~JournalInputDriver() override { JournalNote(m_plugin + ":delete_input:" + m_name); }
    int32_t Start() override {
        JournalNote(m_plugin + ":start:" + m_name);
        return m_ret;
    }
    int32_t Stop() override {
        JournalNote(m_plugin + ":stop:" + m_name);
        return m_ret;
    }

  private:
    std::string m_plugin;
    std::string m_name;
    int32_t m_ret;
};

class JournalOutputDriver : public OutputDriverBase {
  public:
    JournalOutputDriver(std::string plugin, std::string name)
        : m_plugin(std::move(plugin)), m_name(std::move(name)) {}
    ~JournalOutputDriver() override { JournalNote(m_plugin + ":delete_output:" + m_name); }

  private:
    std::string m_plugin;
    std::string m_name;
};

}  // namespace
