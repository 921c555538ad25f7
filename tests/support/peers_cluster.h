// chs-peers as the daemon meets it, for tests: a temporary cluster laid out
// by `chsctl mkcluster` with a real chs-peers process per node, and requests
// sent from this test process over the transport as a client of one node.
//
// Header only, so that every test target that links chs_msg and the test
// support library can use it. The client side is process-wide (the transport
// and the cluster attach are), so AttachClient is called once per process.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "infra/chs_log.h"
#include "msg/inner_msg.h"
#include "msg/msg_api.h"
#include "platform/dplog.h"
#include "platform/om_cluster.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace chs_test {

// The process id this test process sends as.
constexpr uint16_t PEERS_TEST_PID = 600;

struct PeerReply {
    bool bAnswered = false;  // an answer (or the transport's time-out answer) came back
    InnerMsg answer;
    uint32_t Code() const { return answer.TryGetErrorCode(); }
    uint32_t State() const { return answer.GetResult(); }
    size_t Records() const { return answer.GetBody().size(); }
    // Cell `tag` of record `index`, or null.
    const CTLVCell* Cell(size_t index, unsigned short tag) const {
        return index < answer.GetBody().size() ? answer.GetBody()[index].find(tag) : nullptr;
    }
    std::string Text(size_t index, unsigned short tag) const {
        const CTLVCell* cell = Cell(index, tag);
        return cell != nullptr && cell->GetType() == CTLVCell::TLV_STRING ? static_cast<const char*>(*cell)
                                                                          : "";
    }
};

// Sends `record` (taken over) to endpoint `pid` of `node` and waits up to
// `timeoutSec` for the answer.
inline PeerReply SendToPeer(uint16_t node, uint16_t pid, uint32_t opCode, MsgRecord* record,
                            uint32_t timeoutSec = 5, uint32_t sessionKey = 0) {
    InnerMsg request;
    tagMsgInfo& info = request.GetMsgInfo();
    info.usSenderBID = 0;
    info.usSenderPID = PEERS_TEST_PID;
    info.usReceiverBID = node;
    info.usReceiverPID = pid;
    info.uiMsgOPCode = opCode;
    info.uiMsgTimeout = timeoutSec;
    info.uiSessionKey = sessionKey;
    if (record != nullptr) {
        request.GetBody().append(record);
    }
    PeerReply reply;
    reply.bAnswered = request.SendSyncMsg(reply.answer);
    return reply;
}

class PeersCluster {
  public:
    // Lays out `nodes` nodes in `dir`/cluster and starts chs-peers on each,
    // with `peersEnv` ("NAME=value") added to its environment. Ready() tells
    // whether every process said "ready" within 10 s; Error() says why not.
    PeersCluster(const TempDir& dir, int nodes, const std::vector<std::string>& peersEnv = {})
        : m_strDir(dir.Join("cluster")) {
        RunResult made =
            RunProgram({BinaryPath("tools/chsctl"), "mkcluster", m_strDir, "--nodes", std::to_string(nodes)});
        if (made.exitCode != 0) {
            m_strError = "mkcluster: " + made.err;
            return;
        }
        for (int node = 0; node < nodes; ++node) {
            std::string out = dir.Join("peers" + std::to_string(node) + ".out");
            m_peers.push_back(std::make_unique<Process>(
                std::vector<std::string>{BinaryPath("peers/chs-peers"), m_strDir + "/cluster.json",
                                         std::to_string(node), Root(node)},
                peersEnv, out));
            if (!WaitFor([&] { return ReadText(out) == "ready\n"; }, 10000)) {
                m_strError = "chs-peers of node " + std::to_string(node) + ": " + ReadText(out + ".err");
                return;
            }
        }
        m_bReady = true;
    }

    bool Ready() const { return m_bReady; }
    const std::string& Error() const { return m_strError; }
    const std::string& Dir() const { return m_strDir; }
    std::string Root(int node) const { return m_strDir + "/node" + std::to_string(node); }
    std::string StateFile(const std::string& name) const { return m_strDir + "/state/" + name; }
    bool AllRunning() const {
        for (const auto& peer : m_peers) {
            if (!peer->Running()) {
                return false;
            }
        }
        return !m_peers.empty();
    }

    // Attaches this process to the cluster as `node` (holding that node's
    // presence, so that it counts as online, when `holdPresence`), logs to
    // `logFile` and starts the transport client.
    bool AttachClient(uint16_t node, bool holdPresence, const std::string& logFile, std::string& why) const {
        if (!platform::AttachCluster(m_strDir + "/cluster.json", node, Root(node), holdPresence, why)) {
            return false;
        }
        platform::LogOpen(logFile);
        SetModuleID(PEERS_TEST_PID);
        if (msg_api::StartClient() != 0) {
            why = "the transport client does not start";
            return false;
        }
        return true;
    }

  private:
    std::string m_strDir;
    std::string m_strError;
    bool m_bReady = false;
    std::vector<std::unique_ptr<Process>> m_peers;
};

}  // namespace chs_test
