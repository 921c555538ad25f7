// Known-secret refusal of a diagnose bundle.
#include "export/bundle_secrets.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <vector>

#include "control/ccdb_comm.h"
#include "control/collector_ccdb.h"
#include "export/diagnose_export.h"
#include "infra/chs_log.h"
#include "infra/exec_cmd.h"
#include "infra/string_util.h"
#include "platform/kmca.h"
#include "include/infocollector/sftp_client.h"
#include "platform/om_ccdb.h"
#include "platform/platform_profile.h"

namespace {

constexpr size_t kKeyFileMax = 4096;
constexpr uint32_t kReasonLines = 4;

// The secrets, one per line, as the script reads them; wiped on destruction.
class SecretList {
  public:
    SecretList() = default;
    SecretList(const SecretList&) = delete;
    SecretList& operator=(const SecretList&) = delete;
    ~SecretList() { ResetPwdStr(m_text); }

    // Adds `value` line by line (a line feed cannot be part of a line);
    // empty lines are left out.
    void Add(const char* value, size_t length) {
        size_t start = 0;
        for (size_t i = 0; i <= length; ++i) {
            if (i == length || value[i] == '\n' || value[i] == '\r') {
                if (i > start) {
                    m_text.append(value + start, i - start).push_back('\n');
                    ++m_count;
                }
                start = i + 1;
            }
        }
    }
    const std::string& Text() const { return m_text; }
    uint32_t Count() const { return m_count; }

  private:
    std::string m_text;
    uint32_t m_count = 0;
};

// The cluster key file's text (what the file encryption works under): a
// regular file, not a link, of at most kKeyFileMax bytes, trimmed.
void AddClusterKey(SecretList& secrets) {
    std::string path = platform::ClusterKeyPath();
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        CHS_LOG(1, LOGID_EXPORT, "No cluster key to look for (%s: %s).", path.c_str(), strerror(errno));
        return;
    }
    struct stat st {};
    char buffer[kKeyFileMax];
    ssize_t got = -1;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= static_cast<off_t>(kKeyFileMax)) {
        got = read(fd, buffer, sizeof(buffer));
    }
    close(fd);
    if (got <= 0) {
        CHS_LOG(2, LOGID_EXPORT, "The cluster key %s cannot be read for the secret check.", path.c_str());
        return;
    }
    size_t begin = 0;
    size_t end = static_cast<size_t>(got);
    while (begin < end && isspace(static_cast<unsigned char>(buffer[begin]))) {
        ++begin;
    }
    while (end > begin && isspace(static_cast<unsigned char>(buffer[end - 1]))) {
        --end;
    }
    secrets.Add(buffer + begin, end - begin);
    platform::SecureWipe(buffer, sizeof(buffer));
}

// The proxy password of the agent's CCDB row, as stored and, when it is an
// encrypted text, in the clear as well.
void AddProxyPassword(SecretList& secrets) {
    CCDB_COMM::tagDB_CHS_RELAYD_CFG_S row{};
    int ret = OM_CCDB_QueryOneObj(g_collectorCcdbId, CCDB_COMM::CHS_RELAYD_CFG_TABLE, "1", &row, sizeof(row));
    if (ret != 0) {
        CHS_LOG(2, LOGID_EXPORT, "The agent row cannot be read for the secret check, ret %d.", ret);
        return;
    }
    size_t length = strnlen(row.proxyPassword, sizeof(row.proxyPassword));
    if (length > 0) {
        secrets.Add(row.proxyPassword, length);
        unsigned char* clear = nullptr;
        uint32_t clearLength = 0;
        if (KMCA_Decrypt(KMCA_DOMAIN_CHS, reinterpret_cast<const unsigned char*>(row.proxyPassword),
                         static_cast<uint32_t>(length), &clear, &clearLength) == KMCA_OK &&
            clear != nullptr) {
            secrets.Add(reinterpret_cast<const char*>(clear), clearLength);
        }
        if (clear != nullptr) {
            KMCA_MemClearFree(clear, clearLength);
        }
    }
    platform::SecureWipe(&row, sizeof(row));
}

// The password of the internal SFTP account.
void AddSftpPassword(SecretList& secrets) {
    std::string password = IBCSftpClass::GetIbcPwd();
    secrets.Add(password.data(), password.size());
    ResetPwdStr(password);
}

// The first lines of what the script printed, for the log and the status.
std::string FirstLines(const std::string& output) {
    std::string text;
    uint32_t lines = 0;
    for (size_t start = 0; start < output.size() && lines < kReasonLines; ++lines) {
        size_t end = output.find('\n', start);
        if (end == std::string::npos) {
            end = output.size();
        }
        if (!text.empty()) {
            text += "; ";
        }
        text.append(output, start, end - start);
        start = end + 1;
    }
    return text;
}

}  // namespace

int32_t CheckBundleForSecrets(const std::string& bundleRealPath, std::string& reason) {
    reason.clear();
    SecretList secrets;
    AddClusterKey(secrets);
    AddProxyPassword(secrets);
    AddSftpPassword(secrets);
    if (secrets.Count() == 0) {
        CHS_LOG(1, LOGID_EXPORT, "No known secret of the cluster to look for in (%s).",
                bundleRealPath.c_str());
        return 0;
    }
    // The script's messages name members of the bundle, never a value.
    std::string cmd = ExportSudo() + ShellQuote(platform::RealPath(DIAGNOSTIC_SCRIPT)) + " check_secrets " +
                      ShellQuote(bundleRealPath) + " 2>&1";
    int32_t status = CHS_EXEC_ERR;
    std::string output =
        chs_execCmdWithInput(cmd, secrets.Text(), CHS_EXEC_MAX_LINES, BUNDLE_SECRETS_TIMEOUT_MS, &status);
    if (status == 0) {
        CHS_LOG(1, LOGID_EXPORT, "None of %u known secrets appears in (%s).", secrets.Count(),
                bundleRealPath.c_str());
        return 0;
    }
    std::string said = FirstLines(output);
    if (status == CHS_EXEC_ERR) {
        reason = "the secret check of the bundle could not be run or overran its time";
    } else if (said.empty()) {
        reason = "the secret check of the bundle failed with status " + std::to_string(status);
    } else {
        reason = said;
    }
    CHS_LOG(3, LOGID_EXPORT, "The bundle (%s) is not sent: %s.", bundleRealPath.c_str(), reason.c_str());
    return status;
}
