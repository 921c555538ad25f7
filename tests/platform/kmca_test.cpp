// Key management under a real cluster key file.
#include "platform/kmca.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "tests/support/cluster_key.h"
#include "tests/support/log_capture.h"

namespace {

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
