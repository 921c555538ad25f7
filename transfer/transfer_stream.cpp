#include "infocollector/transfer_stream.h"

#include <json/reader.h>
#include <strings.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "infra/chs_log.h"

BlackHoleStreamClass g_blackHoleStream;

namespace {

// A chunk of 100 KiB or more is taken for part of a large download rather than
// an answer, so it is not parsed.
constexpr unsigned kMaxParsedChunk = 0x18FFF;

uint64_t ParseDecimal(const std::string& text) {
    const char* begin = text.c_str();
    while (*begin == ' ' || *begin == '\t') {
        ++begin;
    }
    if (*begin < '0' || *begin > '9') {
        return 0;
    }
    errno = 0;
    char* end = nullptr;
    unsigned long long value = strtoull(begin, &end, 10);
    return errno == 0 ? value : 0;
}

bool SameName(const std::string& key, const char* name) { return strcasecmp(key.c_str(), name) == 0; }

}  // namespace

void WriteStreamClass::Size(uint64_t /*total*/) {}

void WriteStreamClass::SaveOpt(const std::string& /*key*/, const std::string& /*value*/) {}

unsigned BlackHoleStreamClass::Write(void* /*data*/, unsigned length) { return length; }

OutFileStreamClass::OutFileStreamClass(const std::string& path)
    : m_file(path, std::ios::out | std::ios::binary | std::ios::trunc) {}

OutFileStreamClass::~OutFileStreamClass() = default;

unsigned OutFileStreamClass::Write(void* data, unsigned length) {
    if (!m_file.is_open()) {
        return 0;
    }
    m_file.write(static_cast<const char*>(data), length);
    if (!m_file.good()) {
        CHS_LOG(2, LOGID_TRANSFER, "Error happens when Write to file.");
        return 0;
    }
    return length;
}

InputFileStreamClass::InputFileStreamClass(const std::string& path)
    : m_file(path, std::ios::in | std::ios::binary) {}

InputFileStreamClass::~InputFileStreamClass() = default;

unsigned InputFileStreamClass::Read(void* buffer, unsigned length) {
    if (!m_file.is_open()) {
        return 0;
    }
    if (m_file.eof()) {
        CHS_LOG(0, LOGID_TRANSFER, "Everything has been readed.");
        return 0;
    }
    m_file.read(static_cast<char*>(buffer), length);
    if (m_file.bad()) {
        CHS_LOG(2, LOGID_TRANSFER, "Something wrong when Read from file.");
    }
    return static_cast<unsigned>(m_file.gcount());
}

uint64_t InputFileStreamClass::Size() {
    if (!m_file.is_open()) {
        return 0;
    }
    m_file.clear();
    m_file.seekg(0, std::ios::end);
    std::streamoff end = m_file.tellg();
    m_file.seekg(0, std::ios::beg);
    return end > 0 ? static_cast<uint64_t>(end) : 0;
}

void HttpReponseStreamClass::HttpOpt(const std::string& /*key*/, const std::string& /*value*/) {}

std::string HttpReponseStreamClass::getOpt(const std::string& key) const {
    auto found = headers.find(key);
    return found == headers.end() ? std::string() : found->second;
}

void HttpReponseStreamClass::SaveOpt(const std::string& key, const std::string& value) {
    received = 0;
    body.clear();
    HttpOpt(key, value);
    if (key.compare(0, 5, "HTTP/") == 0 && value.empty()) {
        size_t blank = key.find(' ');
        status = blank == std::string::npos ? 0 : atoi(key.c_str() + blank + 1);
        return;
    }
    // Header names are case-insensitive, and HTTP/2 sends them in lower case.
    if (SameName(key, "Content-Length")) {
        contentLength = ParseDecimal(value);
        Size(contentLength);
        return;
    }
    if (SameName(key, "Content-Type")) {
        contentType = value;
        return;
    }
    if (key == "\r\n" || key.empty()) {
        return;
    }
    if (headers.size() > kMaxHeaders - 1) {
        return;
    }
    headers[key] = value;
}

unsigned HttpReponseStreamClass::Write(void* data, unsigned length) {
    if (contentType.find("application/json") == std::string::npos) {
        return length;
    }
    if (body.size() + length > kMaxJsonBody) {
        CHS_LOG(2, LOGID_TRANSFER, "JSON body over %zu bytes, abort.", kMaxJsonBody);
        return 0;
    }
    received += length;
    body.append(static_cast<const char*>(data), length);
    if (contentLength != 0 && contentLength != received) {
        return length;
    }
    if (length >= 1 && length <= kMaxParsedChunk) {
        Json::CharReaderBuilder builder;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        std::string errors;
        reader->parse(body.data(), body.data() + body.size(), &root, &errors);
    }
    return length;
}

BridgeStreamClass::~BridgeStreamClass() {
    std::lock_guard<std::mutex> lock(mutex);
    for (Block& block : blocks) {
        delete[] block.pData;
    }
    blocks.clear();
}

unsigned BridgeStreamClass::Write(void* data, unsigned length) {
    if (data == nullptr || length == 0 || stopped) {
        return 0;
    }
    std::unique_lock<std::mutex> lock(mutex);
    if (written >= expected) {
        return 0;
    }
    // The reader sends exactly the announced total, so bytes past it would
    // be lost or would corrupt what follows them on the wire.
    if (length > expected - written) {
        length = static_cast<unsigned>(expected - written);
    }
    while (buffered >= kMaxBuffered) {
        if (stopped) {
            return 0;
        }
        spaceFree.wait(lock);
    }
    if (stopped) {
        return 0;
    }
    Block block;
    block.pData = new unsigned char[length];
    memcpy(block.pData, data, length);
    block.uiLeft = length;
    blocks.push_back(block);
    written += length;
    buffered += length;
    dataReady.notify_one();
    return length;
}

unsigned BridgeStreamClass::Read(void* buffer, unsigned length) {
    std::unique_lock<std::mutex> lock(mutex);
    // A reader woken up by the last Write must still get that block when Stop
    // follows at once; Stop queues the end marker, so an empty queue after it
    // only means nothing was left.
    while (blocks.empty()) {
        if (stopped) {
            return 0;
        }
        dataReady.wait(lock);
    }
    Block& block = blocks.front();
    if (block.pData == nullptr) {
        blocks.pop_front();
        return 0;
    }
    unsigned char* from = block.pCursor != nullptr ? block.pCursor : block.pData;
    if (block.uiLeft > length) {
        memcpy(buffer, from, length);
        block.pCursor = from + length;
        block.uiLeft -= length;
        buffered -= length;
        spaceFree.notify_one();
        return length;
    }
    unsigned count = block.uiLeft;
    memcpy(buffer, from, count);
    buffered -= count;
    delete[] block.pData;
    blocks.pop_front();
    spaceFree.notify_one();
    return count;
}

uint64_t BridgeStreamClass::Size() {
    std::lock_guard<std::mutex> lock(mutex);
    return expected;
}

void BridgeStreamClass::Size(uint64_t total) {
    std::lock_guard<std::mutex> lock(mutex);
    expected = total;
}

void BridgeStreamClass::Stop() {
    stopped = true;
    std::lock_guard<std::mutex> lock(mutex);
    blocks.push_back(Block());
    dataReady.notify_all();
    spaceFree.notify_all();
}
