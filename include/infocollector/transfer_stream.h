// The streams the transfer clients read uploads from and write downloads
// (and, for HTTPS, response headers) into. A transfer callback calls Read or
// Write with one chunk at a time; 0 means nothing moved (end, refusal, error).
//
// Thread safety: BridgeStreamClass is made for one producer thread (Write,
// Size(total), Stop) and one consumer thread (Read, Size()); every other
// stream is used by one thread at a time.
#pragma once

#include <json/value.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <list>
#include <map>
#include <mutex>
#include <string>

class ReadStreamInterface {
  public:
    virtual unsigned Read(void* buffer, unsigned length) = 0;
    virtual uint64_t Size() = 0;
    virtual ~ReadStreamInterface() = default;
};

class WriteStreamInterface {
  public:
    virtual unsigned Write(void* data, unsigned length) = 0;
    virtual void Size(uint64_t total) = 0;
    virtual void SaveOpt(const std::string& key, const std::string& value) = 0;
    virtual ~WriteStreamInterface() = default;
};

class WriteStreamClass : public WriteStreamInterface {
  public:
    void Size(uint64_t total) override;
    void SaveOpt(const std::string& key, const std::string& value) override;
};

class BlackHoleStreamClass : public WriteStreamClass {
  public:
    unsigned Write(void* data, unsigned length) override;
    ~BlackHoleStreamClass() override = default;
};

// Truncates (or creates) `path` at construction.
class OutFileStreamClass : public WriteStreamClass {
  public:
    explicit OutFileStreamClass(const std::string& path);
    unsigned Write(void* data, unsigned length) override;
    ~OutFileStreamClass() override;

  private:
    std::ofstream m_file;
};

class InputFileStreamClass : public ReadStreamInterface {
  public:
    explicit InputFileStreamClass(const std::string& path);
    unsigned Read(void* buffer, unsigned length) override;
    uint64_t Size() override;  // call before reading: it rewinds
    ~InputFileStreamClass() override;

  private:
    std::ifstream m_file;
};

// Collects the status, the headers and, for a JSON body, the body and its
// parse. A new header block (redirect, interim response) starts a new body.
// A JSON body past kMaxJsonBody is refused (Write returns 0, which aborts the
// transfer), so that a server cannot make the client buffer without end.
class HttpReponseStreamClass : public WriteStreamClass {
  public:
    static constexpr size_t kMaxHeaders = 256;
    static constexpr size_t kMaxJsonBody = 16u << 20;

    unsigned Write(void* data, unsigned length) override;
    void SaveOpt(const std::string& key, const std::string& value) override;
    ~HttpReponseStreamClass() override = default;
    virtual void HttpOpt(const std::string& key, const std::string& value);

    std::string getOpt(const std::string& key) const;

    Json::Value root;
    int status = 0;
    uint64_t contentLength = 0;
    uint64_t received = 0;
    std::string body;
    std::string contentType;
    std::map<std::string, std::string> headers;  // at most 256 entries
};

// A bounded pipe between a producing thread and an uploading one: about
// 5 MiB plus one write are buffered at most. The total must be announced
// with Size(total) before the producer writes; writes beyond it are refused,
// and a write that crosses it is cut to the bytes still missing.
class BridgeStreamClass : public ReadStreamInterface, public WriteStreamClass {
  public:
    static constexpr uint64_t kMaxBuffered = 0x500000;

    unsigned Read(void* buffer, unsigned length) override;
    uint64_t Size() override;
    ~BridgeStreamClass() override;
    unsigned Write(void* data, unsigned length) override;
    void Size(uint64_t total) override;
    using WriteStreamClass::SaveOpt;

    // Ends the stream: a waiting writer and every later Write return 0; the
    // reader still gets the blocks queued before, then 0.
    void Stop();

  private:
    struct Block {
        unsigned char* pData = nullptr;  // null: the end marker
        uint32_t uiLeft = 0;
        unsigned char* pCursor = nullptr;
    };

    std::mutex mutex;
    std::condition_variable dataReady;
    std::condition_variable spaceFree;
    std::list<Block> blocks;
    uint64_t written = 0;
    uint64_t expected = 0;
    uint64_t buffered = 0;
    std::atomic<bool> stopped{false};  // also read without the lock
};

// The process-wide discarding sink.
extern BlackHoleStreamClass g_blackHoleStream;
