// A scripted stand-in for the daemon's endpoint 551 on node 0 of a cluster,
// for the tests of chsctl: it answers with the record its test builds and
// keeps the last request of each operation code.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "msg/inner_msg.h"
#include "msg/msg_api.h"
#include "platform/dplog.h"
#include "tests/support/cluster_setup.h"

namespace chs_test {

class FakeDaemon {
  public:
    // The answer's record to a request; called on the transport's reader threads.
    using Answer = std::function<MsgRecord*(const InnerMsg& request)>;
    // Appends further records after the first, for answers of several.
    using More = std::function<void(const InnerMsg& request, MsgObject& body)>;

    FakeDaemon(const TempDir& dir, int nodes, Answer answer, More more = nullptr)
        : m_strCluster(MakeCluster(dir, nodes)), m_answer(std::move(answer)), m_more(std::move(more)) {
        s_self = this;
        AttachAs(m_strCluster, 0, true);
        platform::LogOpen(dir.Join("test.log"));
        EXPECT_EQ(msg_api::StartClient(), 0);
        EXPECT_EQ(msg_api::RegisterPID(551, Entry), 0);
    }
    ~FakeDaemon() {
        msg_api::UnRegisterPID(551);
        s_self = nullptr;
    }

    const std::string& Cluster() const { return m_strCluster; }
    std::vector<std::string> Argv(const std::vector<std::string>& args, const std::string& node = "0") const {
        std::vector<std::string> argv = {BinaryPath("tools/chsctl"), "--cluster", m_strCluster, "--node",
                                         node};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }
    RunResult Chsctl(const std::vector<std::string>& args, const std::string& node = "0",
                     const std::vector<std::string>& env = {}) const {
        return RunProgram(Argv(args, node), env, 30000);
    }

    // The last request of `opcode`; an empty message when none came.
    InnerMsg Received(uint32_t opcode) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_requests.count(opcode) != 0 ? m_requests[opcode] : InnerMsg();
    }
    size_t RequestCount() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_requests.size();
    }
    void Forget() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_requests.clear();
    }
    // Type, length and value of cell `tag` of the first record, "absent" when it is not there.
    static std::string Cell(const InnerMsg& message, unsigned short tag) {
        const CTLVCell* cell = message.GetBody().empty() ? nullptr : message.GetBody()[0].find(tag);
        return cell == nullptr ? "absent"
                               : std::to_string(cell->GetType()) + "/" + std::to_string(cell->GetLength()) +
                                     ":" + cell->toString();
    }

  private:
    // Kept once answered: a test that sees the request may rely on what the answer did.
    static int Entry(void* transportMessage) {
        InnerMsg request;
        if (s_self == nullptr ||
            request.Decode(static_cast<unsigned char*>(transportMessage), 0) == MSG_CODEC_FAILURE) {
            return 0;
        }
        MsgObject body;
        body.append(s_self->m_answer(request));
        if (s_self->m_more) {
            s_self->m_more(request, body);
        }
        {
            std::lock_guard<std::mutex> lock(s_self->m_mutex);
            s_self->m_requests[request.GetMsgInfo().uiMsgOPCode] = request;
        }
        request.PostAckMsg(body);
        return 0;
    }

    static inline FakeDaemon* s_self = nullptr;
    std::string m_strCluster;
    Answer m_answer;
    More m_more;
    std::mutex m_mutex;
    std::map<uint32_t, InnerMsg> m_requests;
};

}  // namespace chs_test
