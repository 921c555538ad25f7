// File and string encryption with the real openssl under a real cluster key.
#include "include/infocollector/file_crypt.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "infra/exec_cmd.h"
#include "platform/kmca.h"
#include "tests/support/cluster_key.h"
#include "tests/support/log_capture.h"

namespace {

using chs_test::ReadText;
using chs_test::TempDir;
using chs_test::WriteText;

constexpr size_t kBlock = FileCrypt::CHS_CRYPT_PASSWORD_CIPHER_LENGTH;

std::string RandomBytes(size_t size) {
    std::string bytes(size, '\0');
    std::generate(bytes.begin(), bytes.end(), std::mt19937(static_cast<unsigned>(size)));
    return bytes;
}

// The pass phrase kept in an encrypted file's key block.
std::string PassPhraseOf(const std::string& encrypted) {
    std::string block = encrypted.substr(encrypted.size() - kBlock);
    std::string cipher = block.substr(0, block.find('\0'));
    EXPECT_EQ(block.find_first_not_of('\0', cipher.size()), std::string::npos) << "NUL padding";
    EXPECT_EQ(DecryptString(cipher), 0u);
    return cipher;
}

class FileCryptTest : public ::testing::Test {
  protected:
    void SetUp() override { chs_test::UseNodeRootWithKey(m_root.path()); }
    void TearDown() override { chs_test::UseNodeRoot("/"); }

    TempDir m_root;
    TempDir m_dir;
};

TEST_F(FileCryptTest, StringsRoundTripAndKeyFailuresAreRetriedThenReported) {
    std::string encrypted = "Pass word 1";
    ASSERT_EQ(EncryptString(encrypted), 0u);
    std::string text = encrypted;
    ASSERT_EQ(DecryptString(text), 0u);
    EXPECT_NE(encrypted, text);
    EXPECT_EQ(text, "Pass word 1");

    ASSERT_EQ(unlink(platform::ClusterKeyPath().c_str()), 0);
    chs_test::LogCapture log;
    std::string empty;
    EXPECT_EQ(EncryptString(empty), 0u) << "nothing to encrypt needs no key";
    EXPECT_TRUE(empty.empty());
    EXPECT_FALSE(log.Contains("kmca"));
    struct Case {
        bool encrypt;
        std::string text;
        uint32_t code;
        const char* retry;
        const char* final;
    };
    const std::vector<Case> cases = {
        {true, "clear", 0x40E05B2A, "Failed to encrypt string iRet(2).",
         "Kmm failed to encrypt string error(2)."},
        {false, encrypted, 0x40E05B2D, "Failed to decrypt string.", "Kmm failed to decrypt string."},
    };
    for (const Case& c : cases) {
        log.Clear();
        std::string text = c.text;
        EXPECT_EQ(c.encrypt ? EncryptString(text) : DecryptString(text), c.code);
        EXPECT_EQ(text, c.text) << "left as it was";
        EXPECT_EQ(log.Count(c.retry), 3u) << c.retry;
        EXPECT_EQ(log.Count(c.final), 1u) << c.final;
    }
}

// The format other nodes rely on: openssl's own salted file, then the key
// block. Also: a fresh pass phrase per file, and none on any command line.
TEST_F(FileCryptTest, EncryptedFileIsOpensslOutputAndKeyBlockWithAFreshPassPhrase) {
    std::string plain = m_dir.Join("plain");
    WriteText(plain, RandomBytes(100000));
    std::vector<std::string> commandLines;  // the recorder runs in the thread that runs the command
    chs_setExecRecorder([&](pid_t pid, const std::string&) {
        // Empty, or this program's own line in a forked child, until the new image is set up; the
        // child waits for its pass phrase meanwhile.
        const std::string own = ReadText("/proc/self/cmdline");
        std::string line;
        for (int i = 0; i < 1000 && (line.empty() || line == own); ++i, usleep(1000)) {
            line = ReadText("/proc/" + std::to_string(pid) + "/cmdline");
        }
        commandLines.push_back(line);
    });
    FileCrypt first;
    FileCrypt second;
    ASSERT_EQ(first.encrypt(plain, m_dir.Join("one")), 0u);
    ASSERT_EQ(second.encrypt(plain, m_dir.Join("two")), 0u);
    ASSERT_EQ(first.decrypt(m_dir.Join("one"), m_dir.Join("back")), 0u);
    chs_setExecRecorder(nullptr);

    std::string one = ReadText(m_dir.Join("one"));
    std::string passPhrase = PassPhraseOf(one);
    std::string other = PassPhraseOf(ReadText(m_dir.Join("two")));
    EXPECT_EQ(passPhrase.size(), 31u);
    EXPECT_EQ(passPhrase.find_first_not_of(FileCrypt::CHS_CRYPT_PASSWORD_CHARSET), std::string::npos);
    EXPECT_NE(passPhrase, other);
    EXPECT_EQ(ReadText(m_dir.Join("back")), ReadText(plain));
    EXPECT_EQ(ReadText(m_dir.Join("one")), one) << "decryption leaves the encrypted file alone";

    // The plain openssl command decrypts the body with the block's pass phrase.
    WriteText(m_dir.Join("body"), one.substr(0, one.size() - kBlock));
    EXPECT_EQ(chs_execCmdWithPassword("openssl aes-128-cbc -d -salt -in " + m_dir.Join("body") + " -out " +
                                          m_dir.Join("by-hand") + " -pass stdin 2>/dev/null",
                                      passPhrase + "\n", 60000),
              0);
    EXPECT_EQ(ReadText(m_dir.Join("by-hand")), ReadText(plain));
    EXPECT_EQ(one.size() - kBlock, 16 + (100000 / 16 + 1) * 16u)
        << "salt header and padded blocks, nothing else";

    ASSERT_EQ(commandLines.size(), 3u);
    for (const std::string& line : commandLines) {
        EXPECT_NE(line.find("openssl"), std::string::npos);
        EXPECT_EQ(line.find(passPhrase), std::string::npos) << line;
        EXPECT_EQ(line.find(other), std::string::npos) << line;
    }
}

TEST_F(FileCryptTest, FailedDecryptionLeavesTheFileAsItWasAndNoOutput) {
    std::string plain = m_dir.Join("plain");
    WriteText(plain, RandomBytes(5000));
    std::string encrypted = m_dir.Join("enc");
    FileCrypt crypt;
    ASSERT_EQ(crypt.encrypt(plain, encrypted), 0u);
    std::string good = ReadText(encrypted);
    std::string key = ReadText(platform::ClusterKeyPath());
    std::string badBlock = good;
    badBlock[good.size() - kBlock + 10] ^= 1;
    std::string badBody = std::string(1000, 'x') + good.substr(good.size() - kBlock);
    struct Case {
        const char* what;
        std::string file;
        bool removeKey;
        const char* log;
    };
    const std::vector<Case> cases = {
        {"no key", good, true, "Failed to decrypt cipher."},
        {"damaged block", badBlock, false, "Failed to decrypt cipher."},
        {"not openssl's data", badBody, false, "Failed to decrypt file using openssl"},
        {"empty key block", good.substr(0, good.size() - kBlock) + std::string(kBlock, '\0'), false,
         "Failed to get cipher from"},
        {"shorter than a block", good.substr(0, 1000), false, "Failed to get cipher from"},
    };
    for (const Case& c : cases) {
        WriteText(encrypted, c.file);
        WriteText(m_dir.Join("out"), "earlier");
        if (c.removeKey) {
            unlink(platform::ClusterKeyPath().c_str());
        }
        chs_test::LogCapture log;
        EXPECT_NE(crypt.decrypt(encrypted, m_dir.Join("out")), 0u) << c.what;
        EXPECT_TRUE(log.Contains(c.log)) << c.what;
        EXPECT_EQ(ReadText(encrypted), c.file) << c.what;
        EXPECT_EQ(ReadText(m_dir.Join("out")), "earlier") << c.what;
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_dir.path()), {}), 3)
            << c.what << ": no temporary file left";
        if (c.removeKey) {
            WriteText(platform::ClusterKeyPath(), key);
            ASSERT_EQ(chmod(platform::ClusterKeyPath().c_str(), 0600), 0);
        }
    }
}

// Several megabytes take longer than a fixed 60 ms; quotes and blanks stay
// literal in the command line.
TEST_F(FileCryptTest, LargeFileBehindAnAwkwardPath) {
    std::string dir = m_dir.Join("a dir 'with' \"quotes\" $(touch x)");
    chs_test::MakeDirs(dir);
    std::string plain = dir + "/plain; it's.bin";
    WriteText(plain, RandomBytes(12u << 20));
    FileCrypt crypt;
    ASSERT_EQ(crypt.encrypt(plain, dir + "/enc `x`"), 0u);
    ASSERT_EQ(crypt.decrypt(dir + "/enc `x`", dir + "/back & more"), 0u);
    EXPECT_TRUE(ReadText(dir + "/back & more") == ReadText(plain));
    EXPECT_FALSE(std::filesystem::exists(m_dir.Join("x")));
}

// Key management under a real cluster key file.
using chs_test::TempDir;

struct Result {
    int ret = -1;
    std::string text;
};

// KMCA_Encrypt or KMCA_Decrypt of the first `length` bytes of `input`.
Result Kmca(bool encrypt, const std::string& input, uint32_t domain = KMCA_DOMAIN_CHS,
            size_t length = std::string::npos) {
    Result result;
    unsigned char* out = nullptr;
    uint32_t outLength = 0;
    auto* data = reinterpret_cast<const unsigned char*>(input.data());
    auto size = static_cast<uint32_t>(std::min(length, input.size()));
    result.ret = encrypt ? KMCA_Encrypt(domain, data, size, &out, &outLength)
                         : KMCA_Decrypt(domain, data, size, &out, &outLength);
    if (result.ret == KMCA_OK) {
        result.text.assign(reinterpret_cast<char*>(out), outLength);
    } else {
        EXPECT_EQ(out, nullptr);
    }
    KMCA_MemClearFree(out, outLength);
    return result;
}

class KmcaTest : public ::testing::Test {
  protected:
    void SetUp() override { chs_test::UseNodeRootWithKey(m_root.path()); }
    void TearDown() override { chs_test::UseNodeRoot("/"); }

    TempDir m_root;
};

TEST_F(KmcaTest, RoundTripsAnyBytesAsPrintableTextThatDiffersEachTime) {
    std::string binary("\0\x01\xff\x7f\n\rend", 9);
    const std::vector<std::string> cases = {"", "p", "Admin@storage#2026", binary, std::string(5000, 'x')};
    for (const std::string& plain : cases) {
        Result first = Kmca(true, plain);
        Result second = Kmca(true, plain);
        ASSERT_EQ(first.ret, KMCA_OK) << plain.size();
        EXPECT_NE(first.text, second.text) << "fresh nonce every time";
        for (char c : first.text) {
            ASSERT_TRUE(isprint(static_cast<unsigned char>(c))) << static_cast<int>(c);
        }
        Result back = Kmca(false, first.text);
        ASSERT_EQ(back.ret, KMCA_OK);
        EXPECT_EQ(back.text, plain);
        EXPECT_EQ(Kmca(false, first.text, 5).ret, KMCA_ERR_PARAM) << "another key domain";
    }
}

TEST_F(KmcaTest, RefusesDamagedTruncatedAndForeignTexts) {
    std::string good = Kmca(true, "the pass phrase of a file").text;
    ASSERT_FALSE(good.empty());
    std::string flipped = good;
    flipped[good.size() / 2] = flipped[good.size() / 2] == 'A' ? 'B' : 'A';
    size_t last = good.find_last_not_of('=');  // the tag's last character, before the padding
    // The same bytes spelled differently: unused low bits of the last character set.
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string unusedBits = good;
    unusedBits[last] = alphabet[alphabet.find(good[last]) + 1];
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"unused bits set", unusedBits},
        {"flipped character", flipped},
        {"one quad short", good.substr(0, good.size() - 4)},
        {"one character short", good.substr(0, good.size() - 1)},
        {"other prefix", "KM2:" + good.substr(4)},
        {"prefix only", good.substr(0, 4)},
        {"bad base64", good.substr(0, 8) + "*" + good.substr(9)},
        {"too short to hold a tag", "KM1:AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"},
        {"empty", ""},
    };
    for (const auto& [what, text] : cases) {
        EXPECT_EQ(Kmca(false, text).ret, KMCA_ERR_DATA) << what;
    }
    EXPECT_EQ(Kmca(false, good, KMCA_DOMAIN_CHS, good.size() - 4).ret, KMCA_ERR_DATA)
        << "the length ends the text: bytes behind it are never read";

    std::string error;
    EXPECT_FALSE(platform::CreateClusterKey(platform::ClusterKeyPath(), error)) << "a key is never replaced";
    ASSERT_EQ(unlink(platform::ClusterKeyPath().c_str()), 0);
    ASSERT_TRUE(platform::CreateClusterKey(platform::ClusterKeyPath(), error)) << error;
    EXPECT_EQ(Kmca(false, good).ret, KMCA_ERR_DATA) << "made under another key";
}

TEST_F(KmcaTest, RefusesKeyFilesThatAreNotTheDaemonsAlone) {
    std::string path = platform::ClusterKeyPath();
    std::string saved = m_root.Join("saved.key");
    ASSERT_EQ(rename(path.c_str(), saved.c_str()), 0);
    struct Case {
        const char* what;
        std::string content;  // empty: a link to the good key
        mode_t mode;
        const char* reason;
    };
    std::string digits(64, 'a');
    const std::vector<Case> cases = {
        {"missing", "-", 0600, "cannot open"},
        {"group readable", digits + "\n", 0640, "not owner-only"},
        {"symbolic link", "", 0600, "symbolic link"},
        {"not hex", std::string(63, 'a') + "g", 0600, "64 hex digits"},
        {"trailing text", digits + "\nmore", 0600, "64 hex digits"},
    };
    for (const Case& c : cases) {
        unlink(path.c_str());
        if (c.content.empty()) {
            ASSERT_EQ(symlink(saved.c_str(), path.c_str()), 0);
        } else if (c.content != "-") {
            chs_test::WriteText(path, c.content);
            ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
        }
        chs_test::LogCapture log;
        EXPECT_EQ(Kmca(true, "text").ret, KMCA_ERR_KEY) << c.what;
        EXPECT_TRUE(log.Contains(c.reason)) << c.what;
    }
}

}  // namespace
