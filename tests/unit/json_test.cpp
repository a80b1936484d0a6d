// The JSON map: parse limits and pairing, unescapes, lookup and the missing-key
// report, updates, answer text, the log dump's masks and findJsonTextValue.
#include <gtest/gtest.h>

#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "common/json/AES.h"
#include "common/json/Json.h"
#include "tests/unit/json_testlog.h"

namespace {

struct MapFree {
    void operator()(JsonMap* map) const { freeJsonMap(map); }
};
using MapPtr = std::unique_ptr<JsonMap, MapFree>;

struct TextFree {
    void operator()(char* text) const { free(text); }
};
using TextPtr = std::unique_ptr<char, TextFree>;

MapPtr parse(const std::string& text) { return MapPtr(parseJsonMap(text.c_str())); }

// The raw value of key, "<null>" when absent.
std::string raw(const JsonMap* map, const char* key) {
    TextPtr value(BinarySearchKestrovaJsonMap(map, 0, map->count - 1, key));
    return value ? std::string(value.get()) : std::string("<null>");
}

std::string decoded(const JsonMap* map, const char* key) {
    TextPtr value(getValue(map, key));
    return value ? std::string(value.get()) : std::string("<null>");
}

std::string text(char* heapText) {
    TextPtr owned(heapText);
    return owned ? std::string(owned.get()) : std::string("<null>");
}

// {"k000":"v000", ...} with count pairs.
std::string objectOfPairs(int count) {
    std::string json = "{";
    for (int i = 0; i < count; ++i) {
        char pair[64];
        snprintf(pair, sizeof pair, "%s\"k%03d\":\"v%03d\"", i ? "," : "", i, i);
        json += pair;
    }
    return json + "}";
}

bool sorted(const JsonMap* map) {
    for (int i = 1; i < map->count; ++i) {
        if (compareJsonKeys(map->entries[i - 1].key, map->entries[i].key) > 0) {
            return false;
        }
    }
    return true;
}

} // namespace

// The adapter library reads the service's maps through this layout: any change
// of it breaks every adapter built before.
TEST(JsonMapLayout, IsThePlainSharedRecord) {
    EXPECT_TRUE(std::is_standard_layout_v<JsonMap>);
    EXPECT_TRUE(std::is_trivially_copyable_v<JsonMap>);
    EXPECT_EQ(offsetof(JsonEntry, key), 0u);
    EXPECT_EQ(offsetof(JsonEntry, value), sizeof(char*));
    EXPECT_EQ(offsetof(JsonEntry, binaryData), 2 * sizeof(char*));
    EXPECT_EQ(offsetof(JsonEntry, binaryLength), 3 * sizeof(char*));
    EXPECT_EQ(offsetof(JsonMap, text), 128 * sizeof(JsonEntry));
    EXPECT_EQ(offsetof(JsonMap, count), 128 * sizeof(JsonEntry) + sizeof(char*));
}

TEST(JsonKeyCompare, IsCaseInsensitiveBytewiseWithPrefixFirst) {
    struct Case {
        const char* a;
        const char* b;
        int expected;
    } cases[] = {
        {"FunctionName", "functionname", 0}, {"FUNCTIONNAME", "FunctionName", 0},
        {"a", "B", -1},                      {"B", "a", 1},
        {"ab", "abc", -1},                   {"abc", "AB", 1},
        {"", "", 0},                         {"_", "a", -1}, // '_' (0x5F) sorts before 'a' but after 'A'
        {"\xC3\xA9", "z", 1},                // bytes compare unsigned
    };
    for (const Case& c : cases) {
        EXPECT_EQ(compareJsonKeys(c.a, c.b), c.expected) << c.a << " vs " << c.b;
    }
}

TEST(JsonParse, RefusesWhatIsNotAnObjectOfPairs) {
    jsontest::ScopedLog log;
    for (const char* bad : {"{}", "", "\"abc\"", "{\"a\":\"b\"", "{\"a\":[1,2}", "]", "{\"a\":\"\x01\x80\"}x\x80"}) {
        EXPECT_EQ(parseJsonMap(bad), nullptr) << bad;
    }
    EXPECT_EQ(parseJsonMap(nullptr), nullptr);
    std::string lines = log.text();
    EXPECT_NE(lines.find("[Error] jsmn parse error"), std::string::npos);
    EXPECT_NE(lines.find("[Error] Error json: {\"a\":\"b\""), std::string::npos);
    EXPECT_NE(lines.find("Parameter inputJsonStr is null"), std::string::npos);
}

TEST(JsonParse, FlatObjectsKeepTheirTextAndSortTheirKeys) {
    struct Case {
        const char* json;
        std::vector<std::pair<const char*, const char*>> entries; // in sorted order
    } cases[] = {
        {"{\"a\":\"b\"}", {{"a", "b"}}},
        {"{\"n\":12,\"t\":true,\"z\":null}", {{"n", "12"}, {"t", "true"}, {"z", "null"}}},
        {"{\"Zeta\":\"1\",\"alpha\":\"2\",\"Mid\":\"3\"}", {{"alpha", "2"}, {"Mid", "3"}, {"Zeta", "1"}}},
        // A nested value adds its inner pair, and the outer value is its raw text.
        {"{\"a\":{\"b\":\"c\"}}", {{"a", "{\"b\":\"c\"}"}, {"b", "c"}}},
        // Non-strict tokenizer: bare words are primitives.
        {"{a:b}", {{"a", "b"}}},
        {"{\"e\":\"\"}", {{"e", ""}}},
    };
    for (const Case& c : cases) {
        MapPtr map = parse(c.json);
        ASSERT_TRUE(map) << c.json;
        EXPECT_STREQ(map->text, c.json);
        ASSERT_EQ(map->count, static_cast<int32_t>(c.entries.size())) << c.json;
        for (size_t i = 0; i < c.entries.size(); ++i) {
            EXPECT_STREQ(map->entries[i].key, c.entries[i].first) << c.json;
            EXPECT_STREQ(map->entries[i].value, c.entries[i].second) << c.json;
            EXPECT_EQ(map->entries[i].binaryData, nullptr);
            EXPECT_EQ(map->entries[i].binaryLength, 0u);
        }
        for (int i = map->count; i < KESTROVA_JSON_MAP_CAPACITY; ++i) {
            EXPECT_EQ(map->entries[i].key, nullptr);
        }
    }
}

TEST(JsonParse, TakesAtMost128Pairs) {
    jsontest::ScopedLog log;
    MapPtr full = parse(objectOfPairs(128)); // 257 tokens
    ASSERT_TRUE(full);
    ASSERT_EQ(full->count, 128);
    EXPECT_TRUE(sorted(full.get()));
    // Every key is found by the binary search, first, last and all between.
    for (int i = 0; i < 128; ++i) {
        char key[8], value[8];
        snprintf(key, sizeof key, "K%03d", i);
        snprintf(value, sizeof value, "v%03d", i);
        EXPECT_EQ(raw(full.get(), key), value);
    }
    EXPECT_EQ(parse(objectOfPairs(129)), nullptr);
    EXPECT_NE(log.text().find("jsmn parse error"), std::string::npos);
}

TEST(JsonParse, EqualKeysAreBothKept) {
    MapPtr map = parse("{\"Key\":\"1\",\"key\":\"2\"}");
    ASSERT_TRUE(map);
    ASSERT_EQ(map->count, 2);
    std::string found = raw(map.get(), "KEY");
    EXPECT_TRUE(found == "1" || found == "2") << found;
}

TEST(JsonUnescape, UndoesSevenEscapesInSequence) {
    struct Case {
        const char* written;
        const char* expected;
    } cases[] = {
        {"a\\rb", "a\rb"},
        {"a\\nb", "a\nb"},
        {"a\\tb", "a\tb"},
        {"\\u000f\\u000e\\u001b", "\x0f\x0e\x1b"},
        {"say \\\"hi\\\"", "say \"hi\""},
        // What stays as written.
        {"\\\\ \\/ \\b \\f", "\\\\ \\/ \\b \\f"},
        {"\\u0041 \\u000F \\u001B", "\\u0041 \\u000F \\u001B"},
        // The passes run over plain text: an escaped backslash before n.
        {"C:\\\\new", "C:\\\new"},
        {"", ""},
        {"\\", "\\"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(text(unescapeJsonValue(c.written)), c.expected) << c.written;
    }
    EXPECT_EQ(unescapeJsonValue(nullptr), nullptr);
}

TEST(JsonUnescape, AppliesToParsedValues) {
    MapPtr map = parse("{\"p\":\"C:\\\\new\",\"u\":\"\\u0041\",\"q\":\"a\\\"b\"}");
    ASSERT_TRUE(map);
    EXPECT_EQ(raw(map.get(), "p"), "C:\\\new");
    EXPECT_EQ(raw(map.get(), "u"), "\\u0041");
    EXPECT_EQ(raw(map.get(), "q"), "a\"b");
}

TEST(JsonLookup, MissingKeysAreReportedOnlyWhenAsked) {
    jsontest::ScopedLog log;
    MapPtr map = parse("{\"sData\":\"x\",\"iFlags\":\"1\"}");
    ASSERT_TRUE(map);
    struct Case {
        unsigned char report;
        const char* key;
        int32_t expectedCode;
    } cases[] = {
        {1, "sData", 0},             // present
        {1, "SDATA", 0},             // present, other case
        {1, "sOptPIN", 61016},       // absent and reported
        {1, "x_KestrovaFlag", 0},    // companions never count
        {1, "topuiWindow", 0},
        {1, "x_kestrovaFlag", 61016}, // the exemption is case-sensitive
        {0, "sOptPIN", 0},
    };
    for (const Case& c : cases) {
        reportMissingKeys = c.report;
        missingKeyCode = 0;
        TextPtr value(BinarySearchKestrovaJsonMap(map.get(), 0, map->count - 1, c.key));
        EXPECT_EQ(missingKeyCode, c.expectedCode) << c.key;
    }
    reportMissingKeys = 0;
    missingKeyCode = 0;
    std::string lines = log.text();
    EXPECT_NE(lines.find("[Warning] Json map key not found: sOptPIN"), std::string::npos);
    EXPECT_EQ(lines.find("not found: x_KestrovaFlag"), std::string::npos);
    EXPECT_EQ(lines.find("not found: topuiWindow"), std::string::npos);
}

TEST(JsonLookup, EmptyMapsAndBadBoundsFindNothing) {
    MapPtr empty(newJsonMap());
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->count, 0);
    EXPECT_EQ(empty->text, nullptr);
    EXPECT_EQ(raw(empty.get(), "a"), "<null>");
    EXPECT_EQ(decoded(empty.get(), "a"), "<null>");
    MapPtr map = parse("{\"a\":\"1\",\"b\":\"2\"}");
    ASSERT_TRUE(map);
    // Bounds past the table are clamped to the entries in use.
    TextPtr wide(BinarySearchKestrovaJsonMap(map.get(), -5, 500, "b"));
    ASSERT_TRUE(wide);
    EXPECT_STREQ(wide.get(), "2");
    EXPECT_EQ(BinarySearchKestrovaJsonMap(map.get(), 1, 0, "a"), nullptr);
    EXPECT_EQ(BinarySearchKestrovaJsonMap(nullptr, 0, 0, "a"), nullptr);
    EXPECT_EQ(getValue(map.get(), nullptr), nullptr);
}

TEST(JsonLookup, GetIntegerConvertsLikeTheService) {
    MapPtr map = parse("{\"t\":\"TRUE\",\"f\":\"False\",\"n\":\"12abc\",\"w\":\"abc\",\"s\":\"  -7\","
                       "\"p\":\"+3\",\"big\":\"99999999999\",\"small\":\"-99999999999\",\"num\":42}");
    ASSERT_TRUE(map);
    struct Case {
        const char* key;
        int32_t expected;
    } cases[] = {{"t", 1},     {"f", 0},           {"n", 12},           {"w", 0},
                 {"s", -7},    {"p", 3},           {"big", INT32_MAX},  {"small", INT32_MIN},
                 {"num", 42},  {"absent", 0}};
    for (const Case& c : cases) {
        EXPECT_EQ(getInteger(map.get(), c.key), c.expected) << c.key;
    }
    EXPECT_EQ(getInteger(nullptr, "t"), 0);
}

TEST(JsonLookup, IsTrueOnlyForTrue) {
    MapPtr map = parse("{\"a\":\"True\",\"b\":\"yes\",\"c\":\"1\",\"d\":\"truee\"}");
    ASSERT_TRUE(map);
    EXPECT_TRUE(isTrue(map.get(), "a"));
    EXPECT_TRUE(isTrue(map.get(), "A"));
    EXPECT_FALSE(isTrue(map.get(), "b"));
    EXPECT_FALSE(isTrue(map.get(), "c"));
    EXPECT_FALSE(isTrue(map.get(), "d"));
    EXPECT_FALSE(isTrue(map.get(), "absent"));
    EXPECT_FALSE(isTrue(nullptr, "a"));
}

TEST(JsonSetValue, ReplacesKeysInAnyCaseAndKeepsOrder) {
    MapPtr map = parse("{\"result\":\"0\",\"b\":\"x\"}");
    ASSERT_TRUE(map);
    EXPECT_TRUE(setValue(map.get(), "Result", "5"));
    ASSERT_EQ(map->count, 2);
    EXPECT_EQ(raw(map.get(), "result"), "5");
    EXPECT_STREQ(map->entries[1].key, "result"); // the stored key keeps its case
    EXPECT_TRUE(setValue(map.get(), "A", "first"));
    EXPECT_TRUE(setValue(map.get(), "Zed", nullptr));
    ASSERT_EQ(map->count, 4);
    EXPECT_TRUE(sorted(map.get()));
    EXPECT_EQ(raw(map.get(), "a"), "first");
    EXPECT_EQ(raw(map.get(), "zed"), "<null>");
    EXPECT_TRUE(setResult(map.get(), -3));
    EXPECT_EQ(raw(map.get(), "result"), "-3");
    EXPECT_FALSE(setValue(nullptr, "a", "b"));
    EXPECT_FALSE(setValue(map.get(), nullptr, "b"));
}

TEST(JsonSetValue, RefusesAKeyBeyondTheTableVisibly) {
    jsontest::ScopedLog log;
    MapPtr map(newJsonMap());
    ASSERT_TRUE(map);
    for (int i = 0; i < 128; ++i) {
        char key[8];
        snprintf(key, sizeof key, "k%03d", i);
        ASSERT_TRUE(setValue(map.get(), key, key));
    }
    EXPECT_FALSE(setValue(map.get(), "one-too-many", "lost?"));
    EXPECT_EQ(map->count, 128);
    EXPECT_EQ(raw(map.get(), "one-too-many"), "<null>");
    EXPECT_EQ(raw(map.get(), "k127"), "k127");
    EXPECT_NE(log.text().find("[Warning] Json map full, key not added: one-too-many"), std::string::npos);
    // A full map still takes new values for the keys it holds.
    EXPECT_TRUE(setValue(map.get(), "K000", "changed"));
    EXPECT_EQ(raw(map.get(), "k000"), "changed");
}

TEST(JsonAnswer, WritesBase64ValuesInMapOrder) {
    MapPtr empty(newJsonMap());
    EXPECT_EQ(text(toAnswerText(empty.get())), "{}");
    MapPtr nullOnly(newJsonMap());
    setValue(nullOnly.get(), "result", nullptr);
    EXPECT_EQ(text(toAnswerText(nullOnly.get())), "{}");
    MapPtr result(newJsonMap());
    setResult(result.get(), 0);
    EXPECT_EQ(text(toAnswerText(result.get())), "{\"result\": \"MA==\"}");
    MapPtr two(newJsonMap());
    setValue(two.get(), "b", "abc");
    setValue(two.get(), "A", "");
    setValue(two.get(), "skip", nullptr);
    EXPECT_EQ(text(toAnswerText(two.get())), "{\"A\": \"\", \"b\": \"YWJj\"}");
    EXPECT_EQ(toAnswerText(nullptr), nullptr);
}

TEST(JsonAnswer, FullMapRoundTripsThroughParseAndBase64) {
    MapPtr map(newJsonMap());
    std::vector<std::string> values;
    for (int i = 0; i < 128; ++i) {
        char key[8];
        snprintf(key, sizeof key, "k%03d", i);
        values.push_back(std::string(i % 7, '"') + "line\r\n\\" + std::to_string(i));
        ASSERT_TRUE(setValue(map.get(), key, values.back().c_str()));
    }
    std::string answer = text(toAnswerText(map.get()));
    MapPtr back = parse(answer);
    ASSERT_TRUE(back);
    ASSERT_EQ(back->count, 128);
    for (int i = 0; i < 128; ++i) {
        char key[8];
        snprintf(key, sizeof key, "k%03d", i);
        EXPECT_EQ(text(decodeUrlBase64(raw(back.get(), key).c_str())), values[i]);
    }
}

TEST(JsonDump, MasksSecretsAndKeepsProductKeysInClear) {
    MapPtr map = parse("{\"sOptPIN\":\"1234\",\"KestrovaFunctionIndex\":\"3\",\"sData\":\"secret\","
                       "\"sData_KestrovaHide\":\"TRUE\",\"sPlain\":\"visible\",\"sPlain_KestrovaHide\":\"no\","
                       "\"NewPw\":\"ab\",\"userPassword\":\"xyz\",\"KestrovaPass\":\"clear\","
                       "\"Kestrova_share_secret\":\"topsecret\"}");
    ASSERT_TRUE(map);
    ASSERT_TRUE(setValue(map.get(), "nothing", nullptr));
    {
        jsontest::ScopedLog log;
        dumpJsonMap(map.get());
        std::string lines = log.text();
        for (const char* expected :
             {"[Normal] = DISPLAY PARAMETER ===== start =====", "[Normal] sOptPIN: ****\n",
              "[Normal] KestrovaFunctionIndex: 3\n", "[Normal] sData: ******\n",
              "[Normal] sPlain: visible\n", "[Normal] NewPw: **\n", "[Normal] userPassword: ***\n",
              "[Normal] KestrovaPass: clear\n", "[Normal] nothing: [empty]\n",
              "[Normal] Kestrova_share_secret: *********\n",
              "[Normal] = DISPLAY PARAMETER ===== end ====="}) {
            EXPECT_NE(lines.find(expected), std::string::npos) << expected << "\n" << lines;
        }
        for (const char* secret : {"1234", "secret", "xyz", "topsecret"}) {
            EXPECT_EQ(lines.find(std::string(": ") + secret), std::string::npos) << secret;
        }
    }
    // With logging off the dump writes nothing at all.
    jsontest::clearLog();
    dumpJsonMap(map.get());
    EXPECT_EQ(jsontest::readLog(), "");
}

// The dump decodes each hide flag, and decoding an encrypted value dumps the
// map: a hide flag flagged as encrypted must not recurse without end.
TEST(JsonDump, EncryptedHideFlagDoesNotRecurse) {
    jsontest::ScopedLog log;
    MapPtr map = parse("{\"a\":\"x\",\"a_KestrovaHide\":\"00\",\"a_KestrovaHide_KestrovaEncryptFlag\":"
                       "\"true\",\"Kestrova_share_secret\":\"s\"}");
    ASSERT_TRUE(map);
    dumpJsonMap(map.get());
    EXPECT_EQ(decoded(map.get(), "a"), "x");
    std::string lines = log.text();
    EXPECT_NE(lines.find("[Normal] a: x"), std::string::npos);
    EXPECT_NE(lines.find("===== end ====="), std::string::npos);
}

TEST(JsonFindText, FindsTheFirstKeyWithoutRegardToCase) {
    struct Case {
        const char* json;
        const char* key;
        const char* expected; // null: none
    } cases[] = {
        {"{\"From\":\"a\",\"To\":\"b\"}", "to", "b"},
        {"{\"From\":\"a\",\"To\":\"b\"}", "FROM", "a"},
        {"{\"From\":\"a\",\"To\":\"b\"}", "Message", nullptr},
        {"{\"a\":\"1\",\"A\":\"2\"}", "a", "1"},
        {"{\"m\":\"say \\\"hi\\\" \\n\"}", "m", "say \"hi\" \\n"}, // only \" is undone
        {"{\"n\":12}", "n", "12"},
        {"{\"o\":{\"x\":\"y\"}}", "o", "{\"x\":\"y\"}"},
        {"{\"a\":\"b\",\"c\"}", "c", nullptr}, // a key without a value token
        {"{\"a\":\"b\"}", "", nullptr},
        {"{\"a\":\"b\"", "a", nullptr}, // unclosed
        {"", "a", nullptr},
    };
    for (const Case& c : cases) {
        char* found = findJsonTextValue(c.json, c.key);
        if (c.expected == nullptr) {
            EXPECT_EQ(found, nullptr) << c.json << " " << c.key;
            free(found);
        } else {
            EXPECT_EQ(text(found), c.expected) << c.json << " " << c.key;
        }
    }
    EXPECT_EQ(findJsonTextValue(nullptr, "a"), nullptr);
    EXPECT_EQ(findJsonTextValue("{\"a\":\"b\"}", nullptr), nullptr);
}

TEST(JsonFindText, StopsAt64Tokens) {
    // 31 pairs are 63 tokens: the last key is still found.
    EXPECT_EQ(text(findJsonTextValue(objectOfPairs(31).c_str(), "k030")), "v030");
    // 32 pairs are 65 tokens: more than the lookup takes.
    EXPECT_EQ(findJsonTextValue(objectOfPairs(32).c_str(), "k000"), nullptr);
    // 63 tokens plus a last key: the key has no value token to pair with.
    std::string lastKey = objectOfPairs(31);
    lastKey.insert(lastKey.size() - 1, ",\"last\"");
    EXPECT_EQ(findJsonTextValue(lastKey.c_str(), "last"), nullptr);
}

TEST(JsonFree, WipesAndToleratesNull) {
    freeJsonMap(nullptr);
    MapPtr map = parse("{\"sOptPIN\":\"1234\"}");
    ASSERT_TRUE(map);
    freeJsonMap(map.release());
}
