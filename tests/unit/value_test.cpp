// Shared value store: storing and reading values, channels, the allowed-site
// check, sliding expiry and eviction, with the store's clock under test control.
#include "service/session/KestrovaValue.h"

#include "common/json/AES.h"
#include "service/UnlockURL.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace {

int64_t gNow = 1'000'000;
int64_t testClock() {
    return gNow;
}

constexpr const char* kSite = "https://site.example";
constexpr const char* kList = "site.example";

struct FreeText {
    void operator()(char* text) const { free(text); }
};
using Text = std::unique_ptr<char, FreeText>;

// The read as the dispatcher sees it: a value, "" for nothing, or null.
Text readAs(const char* channel, const char* origin = kSite) {
    return Text(readSharedValue(channel, origin));
}

class ValueStore : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(aesDrawStoreKey());
        initSharedValueStore();
        gNow = 1'000'000;
        setSharedValueClock(testClock);
    }
    void TearDown() override {
        initSharedValueStore();
        setSharedValueClock(nullptr);
    }
};

TEST_F(ValueStore, ValuesOfAnyLengthReadBackUnchanged) {
    const std::string values[] = {
        "",
        "x",
        std::string(16, 'a'),
        std::string(17, 'b'),
        std::string(64 * 1024, 'c'),
        "Grüße, 日本語, emoji \xF0\x9F\x94\x91",
        "quote \" backslash \\ newline \n tab \t",
    };
    for (const std::string& value : values) {
        ASSERT_EQ(storeSharedValue("c1", kList, 0, value.c_str()), 0);
        Text read = readAs("c1");
        ASSERT_NE(read, nullptr);
        EXPECT_EQ(std::string(read.get()), value) << "length " << value.size();
    }
}

TEST_F(ValueStore, ValueIsKeptEncrypted) {
    const std::string secret = "a value that must not sit in memory as plain text";
    ASSERT_EQ(storeSharedValue("c1", kList, 0, secret.c_str()), 0);
    const SharedValueEntry* entry = sharedValueEntry(0);
    ASSERT_NE(entry, nullptr);
    ASSERT_NE(entry->cipherText, nullptr);
    const std::string cipher(reinterpret_cast<const char*>(entry->cipherText), entry->cipherLength);
    EXPECT_EQ(cipher.find("must not"), std::string::npos);
    EXPECT_EQ(entry->cipherLength % 16, 0u);
}

TEST_F(ValueStore, OnlyAdmittedSitesRead) {
    ASSERT_EQ(storeSharedValue("c1", "site.example;.partner.example", 0, "v"), 0);
    EXPECT_STREQ(readAs("c1", "https://site.example").get(), "v");
    EXPECT_STREQ(readAs("c1", "https://site.example:8443").get(), "v");
    EXPECT_STREQ(readAs("c1", "https://app.partner.example").get(), "v");
    EXPECT_STREQ(readAs("c1", "https://other.example").get(), "");
    EXPECT_STREQ(readAs("c1", "https://site.example/path").get(), "");
    EXPECT_STREQ(readAs("c1", "null").get(), "");
    // A refused read leaves no success behind for the next one.
    EXPECT_STREQ(readAs("c1", "https://other.example").get(), "");
    EXPECT_TRUE(urlCheckListCopy().empty());
}

TEST_F(ValueStore, EmptyDomainListAdmitsNoSite) {
    ASSERT_EQ(storeSharedValue("open", kList, 0, "v"), 0);
    ASSERT_EQ(storeSharedValue("closed", "", 0, "hidden"), 0);
    // Even right after a successful check of another channel.
    EXPECT_STREQ(readAs("open").get(), "v");
    EXPECT_STREQ(readAs("closed").get(), "");
}

TEST_F(ValueStore, ChannelsIgnoreLetterCase) {
    ASSERT_EQ(storeSharedValue("Chan", kList, 0, "first"), 0);
    ASSERT_EQ(storeSharedValue("CHAN", kList, 0, "second"), 0);
    EXPECT_STREQ(readAs("chan").get(), "second");
    int used = 0;
    for (int i = 0; i < KESTROVA_VALUE_ENTRIES; ++i) {
        used += sharedValueEntry(i)->channel != nullptr ? 1 : 0;
    }
    EXPECT_EQ(used, 1);
    // The entry keeps the name it was first stored under.
    EXPECT_STREQ(sharedValueEntry(0)->channel, "Chan");
}

TEST_F(ValueStore, StoringAgainReplacesValueListAndTimeout) {
    ASSERT_EQ(storeSharedValue("c1", "site.example", 5, "old"), 0);
    ASSERT_EQ(storeSharedValue("c1", "other.example", 0, "new"), 0);
    EXPECT_STREQ(readAs("c1", "https://site.example").get(), "");
    EXPECT_STREQ(readAs("c1", "https://other.example").get(), "new");
    EXPECT_EQ(sharedValueEntry(0)->timeout, 0);
    EXPECT_EQ(sharedValueEntry(0)->expiresAt, 0);
}

TEST_F(ValueStore, UnknownChannelReadsEmpty) {
    EXPECT_STREQ(readAs("never").get(), "");
}

TEST_F(ValueStore, BadArgumentsAreRefused) {
    EXPECT_EQ(storeSharedValue("c1", kList, -1, "v"), 61005);
    EXPECT_EQ(storeSharedValue(nullptr, kList, 0, "v"), 61005);
    EXPECT_EQ(storeSharedValue("c1", nullptr, 0, "v"), 61005);
    EXPECT_EQ(storeSharedValue("c1", kList, 0, nullptr), 61005);
    EXPECT_EQ(sharedValueEntry(0)->channel, nullptr);
    EXPECT_STREQ(readAs(nullptr).get(), "");
    EXPECT_STREQ(Text(readSharedValue("c1", nullptr)).get(), "");
}

TEST_F(ValueStore, ExpirySlidesWithEveryRead) {
    ASSERT_EQ(storeSharedValue("c1", kList, 1, "v"), 0);
    EXPECT_EQ(sharedValueEntry(0)->expiresAt, gNow + 60);
    gNow += 59;
    EXPECT_STREQ(readAs("c1").get(), "v");
    EXPECT_EQ(sharedValueEntry(0)->expiresAt, gNow + 60);
    gNow += 60; // exactly at the moved expiry: still valid
    EXPECT_STREQ(readAs("c1").get(), "v");
    gNow += 61;
    EXPECT_STREQ(readAs("c1").get(), "");
    // A timed-out value stays in its entry until room is needed.
    EXPECT_NE(sharedValueEntry(0)->channel, nullptr);
    // A refused site does not move the expiry.
    ASSERT_EQ(storeSharedValue("c2", kList, 2, "w"), 0);
    const int64_t expiry = sharedValueEntry(1)->expiresAt;
    gNow += 30;
    EXPECT_STREQ(readAs("c2", "https://other.example").get(), "");
    EXPECT_EQ(sharedValueEntry(1)->expiresAt, expiry);
}

TEST_F(ValueStore, FullStoreEvictsOnlyExpiredEntries) {
    for (int i = 0; i < KESTROVA_VALUE_ENTRIES; ++i) {
        const std::string channel = "c" + std::to_string(i);
        // Entries 3 and 7 time out after one minute, the others after ten.
        ASSERT_EQ(storeSharedValue(channel.c_str(), kList, (i == 3 || i == 7) ? 1 : 10, "v"), 0);
    }
    EXPECT_EQ(storeSharedValue("extra", kList, 1, "x"), 61019);

    gNow += 61;
    ASSERT_EQ(storeSharedValue("extra", kList, 1, "x"), 0);
    // Every expired entry went; the new value took the last one cleared.
    EXPECT_STREQ(sharedValueEntry(7)->channel, "extra");
    EXPECT_EQ(sharedValueEntry(3)->channel, nullptr);
    EXPECT_STREQ(readAs("c3").get(), "");
    EXPECT_STREQ(readAs("c5").get(), "v");
    EXPECT_STREQ(readAs("extra").get(), "x");
    // The freed entry takes the next new channel without eviction.
    ASSERT_EQ(storeSharedValue("another", kList, 1, "y"), 0);
    EXPECT_STREQ(sharedValueEntry(3)->channel, "another");
    EXPECT_EQ(storeSharedValue("onemore", kList, 1, "z"), 61019);
}

TEST_F(ValueStore, EntryWithoutTimeoutMakesRoomWhenFull) {
    for (int i = 0; i < KESTROVA_VALUE_ENTRIES; ++i) {
        const std::string channel = "c" + std::to_string(i);
        ASSERT_EQ(storeSharedValue(channel.c_str(), kList, i == 5 ? 0 : 10, "v"), 0);
    }
    ASSERT_EQ(storeSharedValue("extra", kList, 10, "x"), 0);
    EXPECT_STREQ(sharedValueEntry(5)->channel, "extra");
    EXPECT_STREQ(readAs("c5").get(), "");
}

TEST_F(ValueStore, ExistingChannelIsReplacedEvenWhenFull) {
    for (int i = 0; i < KESTROVA_VALUE_ENTRIES; ++i) {
        const std::string channel = "c" + std::to_string(i);
        ASSERT_EQ(storeSharedValue(channel.c_str(), kList, 10, "v"), 0);
    }
    EXPECT_EQ(storeSharedValue("C9", kList, 10, "changed"), 0);
    EXPECT_STREQ(readAs("c9").get(), "changed");
}

TEST_F(ValueStore, ValueThatCannotBeDecryptedReadsNull) {
    ASSERT_EQ(storeSharedValue("c1", kList, 0, "v"), 0);
    // A new store key (as after a restart) makes the kept cipher text unreadable.
    unsigned char key[KESTROVA_AES_KEY_LENGTH];
    unsigned char vector[KESTROVA_AES_STORE_VECTOR_LENGTH];
    for (size_t i = 0; i < sizeof key; ++i) {
        key[i] = static_cast<unsigned char>(i * 7 + 1);
        vector[i] = static_cast<unsigned char>(i * 13 + 5);
    }
    aesSetStoreKey(key, vector);
    EXPECT_EQ(readAs("c1"), nullptr);
}

TEST_F(ValueStore, FailedEncryptionIsReportedAndDropsTheOldValue) {
    ASSERT_EQ(storeSharedValue("c1", kList, 0, "old"), 0);
    // Larger than the cipher accepts.
    const std::string huge(KESTROVA_AES_MAX_LENGTH + 1, 'h');
    EXPECT_EQ(storeSharedValue("c1", kList, 0, huge.c_str()), 61001);
    EXPECT_EQ(sharedValueEntry(0)->cipherText, nullptr);
    // Nothing stale can be read: the read reports an undecryptable value.
    EXPECT_EQ(readAs("c1"), nullptr);
}

} // namespace
