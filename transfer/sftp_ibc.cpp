// The controller's internal transfer account: its password comes from the
// platform's transfer script or, failing that, from the encrypted password
// file decrypted here the way the script does it; its SSH port from the
// platform module 575.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/omlib.h"
#include "include/infocollector/sftp_client.h"
#include "infra/chs_log.h"
#include "infra/exec_cmd.h"
#include "infra/string_util.h"
#include "msg/chs_wire.h"
#include "msg/inner_msg.h"
#include "platform/platform_profile.h"

namespace {

const char* const kIbcUser = "ibc_os_hs";
const char* const kIbcPrivateKey = "/home/ibc_os_hs/.ssh/id_rsa";
const char* const kTransferScript = "/VXA/script/os_transfer_file_lib.sh";
const char* const kClusterKey = "/VXA/conf/kmca/cluster.key";
const char* const kPasswordFile = "/VXA/conf/kmca/ibc_os_hs.pwd";
constexpr uint32_t kPasswordCmdTimeoutMs = 6000;
constexpr size_t kMaxKeyFileSize = 4096;
constexpr uint32_t kDefaultSshPort = 22;
constexpr uint32_t kPortQueryTimeoutSec = 5;

// The first line of `text` into `line` when it can be a password: not empty
// and without control characters (what a wrong key decrypts to mostly has
// some). `text` is wiped either way.
bool TakePasswordLine(std::string& text, PasswordStr& line) {
    size_t end = text.find('\n');
    if (end == std::string::npos) {
        end = text.size();
    }
    bool usable = end > 0;
    for (size_t i = 0; i < end && usable; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        usable = c >= 0x20 && c != 0x7F;
    }
    if (usable) {
        line.str().assign(text, 0, end);
    }
    ResetPwdStr(text);
    return usable;
}

// A regular file of ours, not through a link; at most kMaxKeyFileSize bytes.
bool ReadSecretFile(const std::string& path, PasswordStr& content) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_size > static_cast<off_t>(kMaxKeyFileSize)) {
        close(fd);
        return false;
    }
    std::string& text = content.str();
    text.resize(kMaxKeyFileSize);  // read in place: no copy of the key elsewhere
    size_t got = 0;
    while (got < text.size()) {
        ssize_t n = read(fd, &text[got], text.size() - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    close(fd);
    text.resize(got);
    return true;
}

// The pass phrase: the cluster key's text without surrounding white space.
bool ClusterKeyPassphrase(PasswordStr& passphrase) {
    PasswordStr raw;
    if (!ReadSecretFile(platform::RealPath(kClusterKey), raw)) {
        return false;
    }
    const std::string& text = raw.str();
    const char* space = " \t\r\n";
    size_t first = text.find_first_not_of(space);
    if (first == std::string::npos) {
        return false;
    }
    size_t last = text.find_last_not_of(space);
    passphrase.str().assign(text, first, last - first + 1);
    return true;
}

// The password from the platform's transfer script.
bool PasswordFromScript(PasswordStr& password) {
    std::string script = platform::RealPath(kTransferScript);
    if (access(script.c_str(), X_OK) != 0) {
        CHS_LOG(1, LOGID_TRANSFER, "The transfer script %s is not there.", script.c_str());
        return false;
    }
    std::string output = chs_execCmd(ShellQuote(script) + " get_ibc_password", 1, kPasswordCmdTimeoutMs);
    return TakePasswordLine(output, password);
}

// The password file decrypted as the script does it: AES-256-CBC, salted,
// PBKDF2, base64 on one line. The pass phrase goes in on standard input and
// the password comes out on standard output, never through a command line.
bool PasswordFromFile(PasswordStr& password) {
    std::string file = platform::RealPath(kPasswordFile);
    struct stat info {};
    if (lstat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        CHS_LOG(2, LOGID_TRANSFER, "The password file %s is not there.", file.c_str());
        return false;
    }
    PasswordStr passphrase;
    if (!ClusterKeyPassphrase(passphrase)) {
        CHS_LOG(2, LOGID_TRANSFER, "The cluster key %s cannot be read.",
                platform::RealPath(kClusterKey).c_str());
        return false;
    }
    PasswordStr input;
    input.str().reserve(passphrase.str().size() + 1);
    input.str().append(passphrase.str()).push_back('\n');
    std::string cmd = "LD_LIBRARY_PATH= openssl enc -d -aes-256-cbc -pbkdf2 -salt -a -A -in " +
                      ShellQuote(file) + " -pass stdin 2>/dev/null";
    int32_t status = CHS_EXEC_ERR;
    std::string output = chs_execCmdWithInput(cmd, input.str(), 1, kPasswordCmdTimeoutMs, &status);
    if (status != 0) {
        ResetPwdStr(output);  // a wrong key may still have printed some garbage
        CHS_LOG(2, LOGID_TRANSFER, "Decrypting the password file failed (status %d).", status);
        return false;
    }
    return TakePasswordLine(output, password);
}

}  // namespace

IBCSftpClass::IBCSftpClass(const std::string& host)
    : SFTPClass(host, kIbcUser, std::string(), kDefaultSshPort, "sftp://", VRF_DEFAULT) {
    std::string fetched = GetIbcPwd();
    PasswordStr holder(fetched);
    password = holder.str();
    publicKeyPath = GetPubKeyPath();
    privateKeyPath = GetPrivKeyPath();
    keyPassphrase.clear();
    port = GetSystemSshPort();
    // Binding to a device this machine does not have would fail every transfer.
    bool hasInnerVrf = platform::GetProfile().strVrfWrapper.find(VRF_INNER) != std::string::npos;
    vrf = hasInnerVrf ? VRF_INNER : VRF_DEFAULT;
}

std::string IBCSftpClass::GetIbcPwd() {
    PasswordStr password;
    if (!PasswordFromScript(password) && !PasswordFromFile(password)) {
        CHS_LOG(2, LOGID_TRANSFER, "Failed to get the password of %s.", kIbcUser);
        return std::string();
    }
    return password.str();
}

std::string IBCSftpClass::GetPubKeyPath() { return std::string(); }

std::string IBCSftpClass::GetPrivKeyPath() { return platform::RealPath(kIbcPrivateKey); }

uint32_t IBCSftpClass::GetSystemSshPort() {
    try {
        InnerMsg request;
        tagMsgInfo& info = request.GetMsgInfo();
        info.usSenderBID = omlib::getLocalNidInUser();
        info.usSenderPID = static_cast<uint16_t>(GetModuleID());
        info.usReceiverBID = MSG_LOCAL_NODE_BID;
        info.usReceiverPID = chs_wire::PID_SSH_PORT;
        info.uiMsgOPCode = chs_wire::OPCODE_GENERAL;
        info.uiMsgTimeout = kPortQueryTimeoutSec;
        info.usMsgType = MSG_TYPE_REQUEST;
        MsgRecord* record = &request.GetBody().AddRecord(chs_wire::RECORD_SSH_PORT);
        record->AppendEnum(0, 0);
        InnerMsg answer;
        if (request.SendSyncMsg(answer) && answer.TryGetErrorCode() == 0 && !answer.GetBody().empty()) {
            const CTLVCell* cell = answer.GetBody()[0].find(chs_wire::SSH_PORT_TAG_PORT);
            if (cell != nullptr && CTLVCell::IsNumericalType(cell->GetType()) &&
                (cell->GetLength() == 4 || cell->GetLength() == 8)) {
                uint64_t value = cell->GetUInt64();
                if (value > 0 && value <= 65535) {
                    return static_cast<uint32_t>(value);
                }
            }
        }
    } catch (...) {
        // Any failure of the query means the default port, as below.
    }
    CHS_LOG(2, LOGID_TRANSFER, "Failed to get system port, now use default port 22.");
    return kDefaultSshPort;
}
