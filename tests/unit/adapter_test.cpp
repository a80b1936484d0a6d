// Tests of GpkiCardAdapter.so as the service uses it: private copies of the
// library file loaded with dlopen, called through callMethod and
// callJsonMapMethod, driving the test GPKI component (a real shared library
// found through a registration file in a temporary registry folder).

#include "common/json/Json.h"
#include "tests/testcomponent/TestComponentControl.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

typedef const char* (*CallMethodEntry)(const char* jsonText);
typedef const char* (*CallJsonMapMethodEntry)(const JsonMap* map, const char* functionName);

struct AdapterCopy {
    std::string path;
    void* module = nullptr;
    CallMethodEntry callMethod = nullptr;
    CallJsonMapMethodEntry callJsonMapMethod = nullptr;
};

// The control functions of the test component (same load as the adapter's).
struct Component {
    void* module = nullptr;
    TestComponentResetFunction reset = nullptr;
    TestComponentCallCountFunction callCount = nullptr;
    TestComponentLastMethodFunction lastMethod = nullptr;
    TestComponentLastArgumentsFunction lastArguments = nullptr;
    TestComponentTextArgumentFunction textArgument = nullptr;
    TestComponentSetFailureFunction setFailure = nullptr;
    TestComponentSetTextAnswerFunction setTextAnswer = nullptr;
    TestComponentSetNumberAnswerFunction setNumberAnswer = nullptr;
    TestComponentSetEnumModeFunction setEnumMode = nullptr;
    TestComponentLiveObjectsFunction liveObjects = nullptr;
    TestComponentCreatedObjectsFunction createdObjects = nullptr;
};

template <typename F> void bind(void* module, const char* name, F& out) {
    out = reinterpret_cast<F>(dlsym(module, name));
    ASSERT_NE(out, nullptr) << name;
}

// Reads memory the adapter has already freed. Under AddressSanitizer freed
// blocks stay in quarantine (never reused, contents untouched), so this
// shows what the adapter left in them.
#if defined(__SANITIZE_ADDRESS__)
#define KESTROVA_CAN_INSPECT_FREED 1
__attribute__((no_sanitize_address, noinline)) bool allZero(const void* address, size_t bytes) {
    const volatile unsigned char* p = static_cast<const volatile unsigned char*>(address);
    for (size_t i = 0; i < bytes; i++)
        if (p[i] != 0)
            return false;
    return true;
}
#endif

std::string jsonOf(const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::string text = "{";
    for (size_t i = 0; i < pairs.size(); i++) {
        if (i > 0)
            text += ",";
        text += "\"" + pairs[i].first + "\":\"" + pairs[i].second + "\"";
    }
    return text + "}";
}

class AdapterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kestrova-adapter-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
        fs::create_directories(folder_ + "/com");
        fs::create_directories(folder_ + "/tmp");
        // The adapter's log: found through the user's temporary folder.
        std::ofstream(folder_ + "/tmp/ARDEQKestrova.ini")
            << "[ARDEQKestrova]\nLog File=" << folder_ << "/adapter.log\nLog Level=5\n";
        setenv("TMPDIR", (folder_ + "/tmp").c_str(), 1);
        setenv("KESTROVA_SYSCONF_DIR", (folder_ + "/etc").c_str(), 1);
        setenv("KESTROVA_COM_REGISTRY", (folder_ + "/com").c_str(), 1);
        setenv("HOME", folder_.c_str(), 1);
        registerComponent();

        component_.module = dlopen(KESTROVA_TEST_COMPONENT_FILE, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(component_.module, nullptr) << dlerror();
        bind(component_.module, "testComponentReset", component_.reset);
        bind(component_.module, "testComponentCallCount", component_.callCount);
        bind(component_.module, "testComponentLastMethod", component_.lastMethod);
        bind(component_.module, "testComponentLastArguments", component_.lastArguments);
        bind(component_.module, "testComponentTextArgument", component_.textArgument);
        bind(component_.module, "testComponentSetFailure", component_.setFailure);
        bind(component_.module, "testComponentSetTextAnswer", component_.setTextAnswer);
        bind(component_.module, "testComponentSetNumberAnswer", component_.setNumberAnswer);
        bind(component_.module, "testComponentSetEnumMode", component_.setEnumMode);
        bind(component_.module, "testComponentLiveObjects", component_.liveObjects);
        bind(component_.module, "testComponentCreatedObjects", component_.createdObjects);
        component_.reset();
        baseObjects_ = component_.liveObjects();
    }

    void TearDown() override {
        // The host always sends the release call before it unloads a copy.
        for (AdapterCopy& copy : copies_) {
            if (copy.module != nullptr) {
                call(copy, jsonOf({{"FunctionName", "Kestrova_Release"},
                                   {"KestrovaFunctionIndex", "-3"}}));
                dlclose(copy.module);
            }
        }
        if (component_.module != nullptr)
            dlclose(component_.module);
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    void registerComponent() {
        std::ofstream(registration()) << KESTROVA_TEST_COMPONENT_FILE << "\n";
    }
    std::string registration() const {
        return folder_ + "/com/{4B91F9EF-F244-622E-CE84-9671A85BDFE5}.component";
    }

    // A private copy of the adapter file, loaded as the service loads it.
    AdapterCopy& loadCopy(int session) {
        AdapterCopy copy;
        std::string dir = folder_ + "/Tempfile/Session_" + std::to_string(session);
        fs::create_directories(dir);
        copy.path = dir + "/GpkiCardAdapter.so";
        fs::copy_file(KESTROVA_ADAPTER_FILE, copy.path, fs::copy_options::overwrite_existing);
        copy.module = dlopen(copy.path.c_str(), RTLD_NOW | RTLD_LOCAL);
        EXPECT_NE(copy.module, nullptr) << dlerror();
        if (copy.module != nullptr) {
            copy.callMethod = reinterpret_cast<CallMethodEntry>(dlsym(copy.module, "callMethod"));
            copy.callJsonMapMethod =
                reinterpret_cast<CallJsonMapMethodEntry>(dlsym(copy.module, "callJsonMapMethod"));
        }
        copies_.push_back(copy);
        return copies_.back();
    }

    AdapterCopy& adapter() {
        if (copies_.empty())
            loadCopy(0);
        return copies_.front();
    }

    std::string call(AdapterCopy& copy, const std::string& json) {
        const char* answer = copy.callMethod(json.c_str());
        EXPECT_NE(answer, nullptr);
        return answer != nullptr ? answer : "<null>";
    }
    std::string call(const std::string& json) { return call(adapter(), json); }
    std::string call(const std::vector<std::pair<std::string, std::string>>& pairs) {
        return call(jsonOf(pairs));
    }

    // Everything the adapter copies have logged so far (dated file names).
    std::string logText() const {
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(folder_)) {
            std::string name = entry.path().filename().string();
            if (name.rfind("adapter", 0) == 0 && entry.path().extension() == ".log")
                files.push_back(entry.path());
        }
        std::sort(files.begin(), files.end()); // dated names sort by day
        std::string all;
        for (const fs::path& path : files) {
            std::ifstream file(path);
            std::stringstream text;
            text << file.rdbuf();
            all += text.str();
        }
        return all;
    }
    // The log written since mark was taken.
    size_t logMark() const { return logText().size(); }
    std::string logSince(size_t mark) const {
        std::string all = logText();
        return mark <= all.size() ? all.substr(mark) : all;
    }

    std::string folder_;
    std::deque<AdapterCopy> copies_; // references stay valid as copies are added
    Component component_;
    int baseObjects_ = 0;
};

const char* kVersion = "1,6,3,10080";

// ---------------------------------------------------------------------------
// The function table: every member, its keys in order and its answer kind
// ---------------------------------------------------------------------------

struct Member {
    const char* name;
    const char* keys; // "T:key,N:key" in reading order
    char answer;      // 't' text, 'n' number, 'l' list, '0' zero
};

const Member kMembers[60] = {
    {"get_lastError", "", 'n'},
    {"GPKI_EnumCerts", "N:iFlags", 'l'},
    {"CAPICertGetSerialNumber", "T:strCert,N:iFlags", 't'},
    {"CAPICertGetIssuer", "T:strCert,N:iFlags", 't'},
    {"CAPICertGetSubject", "T:strCert,N:iFlags", 't'},
    {"GPKI_GetTailOfCitizenID", "T:strCert,N:iFlags", 't'},
    {"GPKI_GetCertType", "T:strCert,N:iFlags", 'n'},
    {"GPKI_GetOrganizationID", "T:strCert,N:iFlags", 't'},
    {"GPKI_GetCardHolderRank", "T:strCert,N:iFlags", 't'},
    {"GPKI_GetCertTypeOID", "T:strCert,N:iFlags", 't'},
    {"GPKI_GetEntityOID", "T:cert,N:iFlags", 't'},
    {"CAPICertGetPublicKey", "T:strCert,N:iFlags", 't'},
    {"CAPICertGetNotBefore", "T:strCert,N:iFlags", 't'},
    {"CAPICertGetNotAfter", "T:strCert,N:iFlags", 't'},
    {"CAPICertGetVersion", "T:strCert,N:iFlags", 't'},
    {"GPKI_EncryptByCert", "T:strCert,T:strData,N:iFlags", 't'},
    {"GPKI_Decrypt", "T:strCipher,N:iFlags,N:iKeyUsage", 't'},
    {"GPKI_Decrypt2File", "T:strCipher,T:strOutFilePath,N:iFlags,N:iKeyUsage", 'n'},
    {"GPKI_XMLSignTemplate", "T:bstrPIN,T:bstrXML,T:bstrSignId,N:iFlags", 't'},
    {"GPKI_SetReaderSlot", "N:iFlags,N:slot", 'n'},
    {"GPKI_EnumCertsToString", "N:iFlags", 't'},
    {"GPKI_Base64Encode", "T:srcData,T:codePage", 't'},
    {"GPKI_Base64Decode", "T:base64String,T:outCodePage", 't'},
    {"GPKI_DecryptEx", "T:sOptPIN,T:strCipher,N:iFlags,N:iKeyUsage", 't'},
    {"GPKI_SignDataInit", "T:sOptPIN,N:lFlags", 'n'},
    {"GPKI_SignDataFinal", "N:lFlags", 'n'},
    {"GPKI_XMLSignTemplateFile", "T:bstrPIN,T:bstrXMLFilePath,T:bstrSignId,N:iFlags", 't'},
    {"GPKI_XMLCalcTemplateDigest", "T:bstrXML,T:bstrSignId", 't'},
    {"GPKI_XMLCalcTemplateFileDigest", "T:bstrXMLFilePath,T:bstrSignId", 't'},
    {"GPKI_XMLSignTemplateDigest", "T:bstrPIN,T:bstrXML,T:bstrSignId,N:iFlags", 't'},
    {"GPKI_ReadFile", "T:strFilepath,N:flags", 't'},
    {"GPKI_XMLSignTemplateFileUpdate", "T:bstrXMLFilePath,T:bstrSignId,N:iFlags", 't'},
    {"GPKI_SignInit", "T:sOptPIN,N:lFlags", 'n'},
    {"GPKI_SignFinal", "N:lFlags", 'n'},
    {"GPKI_XMLSignTemplateDigestUpdate", "T:bstrXML,T:bstrSignId,N:iFlags", 't'},
    {"GPKI_SetPKCS11Driver", "T:bPath", 'n'},
    {"SetXMLReferenceDirs", "T:bstrMultiRefDir", '0'},
    {"GPKI_GetSerialNumber", "", 't'},
    {"GPKI_RSADecrypt", "T:strCipher,T:strPinCode,N:iFlags", 't'},
    {"GPKI_RSAEncryptByCert", "T:strCert,T:strData,N:iFlags", 't'},
    {"GPKI_XMLSignTemplateUpdate", "T:bstrXML,T:bstrSignId,N:iFlags", 't'},
    {"GPKI_XMLSignTemplateFile2File",
     "T:bstrPIN,T:bstrInXMLFilePath,T:bstrOutXMLFilePath,T:bstrSignId,N:iFlags", 'n'},
    {"GPKI_XMLSignTemplateDigest2File",
     "T:bstrPIN,T:bstrXML,T:bstrOutXMLFilePath,T:bstrSignId,N:iFlags", 'n'},
    {"GPKI_GetAttributeCert", "T:strReader,T:strPIN,N:iFlags", 't'},
    {"SetCodePage", "N:codePage", '0'},
    {"GPKI_GetSlotCount", "", 'n'},
    {"GPKI_VerifyPIN", "T:bPIN,N:iFlags", 'n'},
    {"GPKI_GetErrorPINCount", "", 'n'},
    {"GetVersion", "N:flag", 't'},
    {"GPKI_SignData", "T:sOptPIN,T:sData,T:signcodepage,N:iFlags,N:iHashFlag", 't'},
    {"GPKI_SignDataUpdate", "T:sData,T:signcodepage,N:iFlags,N:iHashFlag", 't'},
    {"GPKI_PureSign", "T:sOptPIN,T:sData,T:signcodepage,N:iFlags,N:iHashFlag", 't'},
    {"CryptCertGetSignatureAlgorithm", "T:strCert,N:iFlags", 't'},
    {"CryptSignatureGetAlgorithm", "T:strSignature,N:iFlags,N:index", 't'},
    {"GPKI_SignInitLogin", "T:sOptPIN,N:lFlags", 'n'},
    {"GPKI_DetectCard", "N:iFlags", 'n'},
    {"GPKI_GetCachedCert", "", 't'},
    {"GPKI_CertGetSubjectDirectoryAttrs", "T:strCert,T:strOID,N:iFlags", 't'},
    {"CryptCertGetExtension", "T:strCert,N:iFlags", 't'},
    {"SetDialogString", "N:dlgID,N:IDS,T:value", 'n'},
};

// The request pairs of a member with a distinct value per key, and the
// argument record the component must see for them.
void requestFor(const Member& m, std::vector<std::pair<std::string, std::string>>& pairs,
                std::string& expectedArguments) {
    std::stringstream keys(m.keys);
    std::string item;
    int place = 0;
    expectedArguments.clear();
    while (std::getline(keys, item, ',')) {
        if (item.empty())
            continue;
        std::string value =
            item[0] == 'T' ? "v" + std::to_string(place) : std::to_string(100 + place);
        pairs.push_back({item.substr(2), value});
        if (place > 0)
            expectedArguments += "|";
        expectedArguments += value;
        place++;
    }
}

std::string expectedAnswer(const Member& m) {
    switch (m.answer) {
    case 't':
        return std::string("answer:") + m.name;
    case 'n':
        return "42";
    case 'l':
        return "cert-a;cert-b;cert-c;";
    default:
        return "0";
    }
}

} // namespace

TEST_F(AdapterTest, EveryFunctionByIndexCallsItsMethodWithKeysInTableOrder) {
    for (int i = 0; i < 60; i++) {
        const Member& m = kMembers[i];
        std::vector<std::pair<std::string, std::string>> pairs = {
            {"FunctionName", m.name},
            {"KestrovaFunctionIndex", std::to_string(i)},
            {"AdapterJsonKeyCheck", "true"}};
        std::string expectedArguments;
        requestFor(m, pairs, expectedArguments);
        int before = component_.callCount();
        EXPECT_EQ(call(pairs), expectedAnswer(m)) << m.name;
        EXPECT_EQ(component_.callCount(), before + 1) << m.name;
        EXPECT_STREQ(component_.lastMethod(), m.name);
        EXPECT_EQ(component_.lastArguments(), expectedArguments) << m.name;
    }
    EXPECT_EQ(logText().find("FunctionIndex mode: "), std::string::npos)
        << "every index matched its name";
}

TEST_F(AdapterTest, EveryFunctionAndSystemFunctionByNameSearch) {
    // Without an index (index 0 names get_lastError) the sorted table is searched.
    for (const Member& m : kMembers) {
        std::vector<std::pair<std::string, std::string>> pairs = {{"FunctionName", m.name}};
        std::string expectedArguments;
        requestFor(m, pairs, expectedArguments);
        EXPECT_EQ(call(pairs), expectedAnswer(m)) << m.name;
        EXPECT_STREQ(component_.lastMethod(), m.name);
        EXPECT_EQ(component_.lastArguments(), expectedArguments) << m.name;
    }
    EXPECT_EQ(call({{"FunctionName", "kestrova_getversion"}}), kVersion);
    EXPECT_EQ(call({{"FunctionName", "Kestrova_Unlock"}, {"KestrovaFunctionIndex", "77"}}), "0");
}

TEST_F(AdapterTest, LookupByIndexAndByName) {
    struct Case {
        const char* index; // null: no index key
        std::string name;
        const char* expectedMethod; // null: the component is not called
        std::string answer;
        std::vector<const char*> logLines;
    };
    const std::string longName = "GPKI_SignData" + std::string(190, 'x');
    const Case cases[] = {
        {"49", "gpki_signdata", "GPKI_SignData", "answer:GPKI_SignData", {}},
        {nullptr,
         "GPKI_SignData",
         "GPKI_SignData",
         "answer:GPKI_SignData",
         {"KestrovaFunctionIndex is not match with adapter", "FunctionName from web: GPKI_SignData",
          "FunctionName in adapter: get_lastError", "FunctionIndex mode: Fail",
          "Function search name mode: GPKI_SignData"}},
        {"60",
         "GPKI_SignData",
         "GPKI_SignData",
         "answer:GPKI_SignData",
         {"FunctionIndex: Out of range", "FunctionIndex mode: Fail"}},
        {"-4",
         "GPKI_SignData",
         "GPKI_SignData",
         "answer:GPKI_SignData",
         {"FunctionIndex: Out of range"}},
        {"49",
         "GPKI_PureSign",
         "GPKI_PureSign",
         "answer:GPKI_PureSign",
         {"FunctionName in adapter: GPKI_SignData"}},
        {"true", "GPKI_EnumCerts", "GPKI_EnumCerts", "cert-a;cert-b;cert-c;", {}},
        {"0", "NoSuchFunction", nullptr, "61005", {"Function name does not match: NoSuchFunction"}},
        {"12", longName, nullptr, "61005", {}},
    };
    for (const Case& c : cases) {
        std::vector<std::pair<std::string, std::string>> pairs = {{"FunctionName", c.name}};
        if (c.index != nullptr)
            pairs.push_back({"KestrovaFunctionIndex", c.index});
        component_.reset();
        size_t mark = logMark();
        EXPECT_EQ(call(pairs), c.answer) << c.name;
        if (c.expectedMethod != nullptr) {
            EXPECT_STREQ(component_.lastMethod(), c.expectedMethod) << c.name;
        } else {
            EXPECT_EQ(component_.callCount(), 0) << c.name;
        }
        std::string log = logSince(mark);
        for (const char* line : c.logLines)
            EXPECT_NE(log.find(line), std::string::npos) << c.name << ": " << line;
        if (c.logLines.empty() && c.expectedMethod != nullptr) {
            EXPECT_EQ(log.find("FunctionIndex mode: Fail"), std::string::npos) << c.name;
        }
    }
}

TEST_F(AdapterTest, SystemFunctions) {
    struct Case {
        const char* index;
        const char* answer;
    };
    const Case cases[] = {{"-1", kVersion}, {"-2", "0"}, {"-1", kVersion}};
    for (const Case& c : cases)
        EXPECT_EQ(call({{"FunctionName", "anything"},
                        {"KestrovaFunctionIndex", c.index},
                        {"url", "https://example.invalid/"}}),
                  c.answer);
    EXPECT_EQ(component_.callCount(), 0);
    EXPECT_EQ(component_.liveObjects(), baseObjects_ + 1);

    size_t mark = logMark();
    EXPECT_EQ(call({{"FunctionName", "anything"}, {"KestrovaFunctionIndex", "-3"}}), "");
    EXPECT_NE(logSince(mark).find("KestrovaRelease"), std::string::npos);
    // The component goes with the tables: nothing is left behind the unload.
    EXPECT_EQ(component_.liveObjects(), baseObjects_);
    // After the release the copy only waits to be unloaded.
    EXPECT_EQ(call({{"FunctionName", "GPKI_SignData"}, {"KestrovaFunctionIndex", "49"}}), "61005");
    EXPECT_EQ(component_.callCount(), 0);
}

TEST_F(AdapterTest, EntryRefusalsNeverReachTheComponent) {
    AdapterCopy& copy = adapter();
    // Texts the tokenizer refuses: empty, a lone object, an unclosed object.
    for (const char* text : {"", "{}", "{\"FunctionName\":\"GPKI_SignData\"", "[1"})
        EXPECT_STREQ(copy.callMethod(text), "") << text;
    EXPECT_STREQ(copy.callMethod(nullptr), "");
    EXPECT_STREQ(copy.callMethod("{\"sData\":\"x\"}"), "61005") << "no FunctionName";
    EXPECT_EQ(component_.createdObjects(), 0) << "nothing initialised the adapter";

    EXPECT_STREQ(copy.callJsonMapMethod(nullptr, "GPKI_SignData"), "");
    JsonMap* map = parseJsonMap("{\"KestrovaFunctionIndex\":\"49\",\"sData\":\"d\"}");
    ASSERT_NE(map, nullptr);
    EXPECT_STREQ(copy.callJsonMapMethod(map, nullptr), "");
    EXPECT_EQ(component_.createdObjects(), 0);

    // The caller's map (built by our own copy of the JSON code) is read as is.
    EXPECT_STREQ(copy.callJsonMapMethod(map, "gpki_signdata"), "answer:GPKI_SignData");
    EXPECT_EQ(std::string(component_.lastArguments()), "<null>|d|<null>|0|0");
    EXPECT_EQ(map->count, 2) << "the map is only read";
    freeJsonMap(map);
}

TEST_F(AdapterTest, ComponentThatCannotBeCreatedAnswers61905UntilItCan) {
    fs::remove(registration());
    size_t mark = logMark();
    EXPECT_EQ(call({{"FunctionName", "x"}, {"KestrovaFunctionIndex", "-1"}}), "61905");
    EXPECT_EQ(call({{"FunctionName", "GPKI_SignData"}}), "61905");
    EXPECT_NE(logSince(mark).find("Component init error!"), std::string::npos);
    registerComponent();
    EXPECT_EQ(call({{"FunctionName", "x"}, {"KestrovaFunctionIndex", "-1"}}), kVersion);
    EXPECT_EQ(component_.createdObjects(), 1);
}

TEST_F(AdapterTest, MissingKeysAndAdapterJsonKeyCheck) {
    size_t mark = logMark();
    EXPECT_EQ(call({{"FunctionName", "GPKI_SignData"},
                    {"sOptPIN", "1234"},
                    {"signcodepage", "65001"},
                    {"iFlags", "1"},
                    {"iHashFlag", "2"},
                    {"AdapterJsonKeyCheck", "TRUE"}}),
              "61016");
    EXPECT_EQ(component_.callCount(), 0) << "refused before the component";
    std::string log = logSince(mark);
    EXPECT_NE(log.find("Json map key not found: sData"), std::string::npos);
    EXPECT_EQ(log.find("Json map key not found: sOptPIN"), std::string::npos);

    // Without the check the call goes ahead with an empty text.
    EXPECT_EQ(call({{"FunctionName", "GPKI_SignData"},
                    {"sOptPIN", "1234"},
                    {"signcodepage", "65001"},
                    {"iFlags", "1"},
                    {"iHashFlag", "2"},
                    {"AdapterJsonKeyCheck", "yes"}}),
              "answer:GPKI_SignData");
    EXPECT_EQ(std::string(component_.lastArguments()), "1234|<null>|65001|1|2");

    // The next handler starts with a clean slate; flag companions never count.
    EXPECT_EQ(call({{"FunctionName", "GPKI_SignData"},
                    {"sOptPIN", "1234"},
                    {"sData", "a*b"},
                    {"sData_KestrovaFlag", "true"},
                    {"signcodepage", "65001"},
                    {"iFlags", "1"},
                    {"iHashFlag", "2"},
                    {"AdapterJsonKeyCheck", "true"}}),
              "answer:GPKI_SignData");
    EXPECT_EQ(std::string(component_.lastArguments()), "1234|a\\b|65001|1|2");

    // GetVersion reads "flag" unchecked; functions without keys are never refused.
    EXPECT_EQ(call({{"FunctionName", "GetVersion"}, {"AdapterJsonKeyCheck", "true"}}),
              "answer:GetVersion");
    EXPECT_EQ(std::string(component_.lastArguments()), "0");
    EXPECT_EQ(call({{"FunctionName", "GPKI_GetSlotCount"}, {"AdapterJsonKeyCheck", "true"}}), "42");
}

TEST_F(AdapterTest, NumberParameters) {
    struct Case {
        const char* value; // null: key absent
        const char* passed;
    };
    const Case cases[] = {{"true", "1"}, {"TRUE", "1"}, {"False", "0"}, {"12abc", "12"},
                          {"abc", "0"},  {"-5", "-5"},  {" 7", "7"},    {nullptr, "0"}};
    for (const Case& c : cases) {
        std::vector<std::pair<std::string, std::string>> pairs = {
            {"FunctionName", "GPKI_DetectCard"}, {"KestrovaFunctionIndex", "55"}};
        if (c.value != nullptr)
            pairs.push_back({"iFlags", c.value});
        EXPECT_EQ(call(pairs), "42");
        EXPECT_STREQ(component_.lastArguments(), c.passed) << (c.value ? c.value : "absent");
    }
    component_.setNumberAnswer(-2147483647 - 1);
    EXPECT_EQ(call({{"FunctionName", "GPKI_GetErrorPINCount"}}), "-2147483648");
}

TEST_F(AdapterTest, TextAnswersAndUnicode) {
    // UTF-8 in, UTF-16 to the component, UTF-8 back.
    const std::string data = "h\xC3\xA9llo \xE2\x82\xAC \xF0\x9D\x84\x9E";
    EXPECT_EQ(call({{"FunctionName", "GPKI_SignDataUpdate"}, {"sData", data}}),
              "answer:GPKI_SignDataUpdate");
    EXPECT_EQ(std::string(component_.lastArguments()), data + "|<null>|0|0");
    component_.setTextAnswer(data.c_str());
    EXPECT_EQ(call({{"FunctionName", "GPKI_GetCachedCert"}}), data);
    component_.setTextAnswer("");
    EXPECT_EQ(call({{"FunctionName", "GPKI_GetCachedCert"}}), "");
    component_.setTextAnswer(nullptr);
    EXPECT_EQ(call({{"FunctionName", "GPKI_GetCachedCert"}}), "");
}

TEST_F(AdapterTest, FailingComponentAnswers61011) {
    const HRESULT failures[] = {E_FAIL, DISP_E_EXCEPTION, E_OUTOFMEMORY};
    for (HRESULT failure : failures) {
        component_.setFailure(failure);
        size_t mark = logMark();
        EXPECT_EQ(call({{"FunctionName", "GPKI_SignData"},
                        {"KestrovaFunctionIndex", "49"},
                        {"sOptPIN", "135790"},
                        {"sData", "secret data to sign"}}),
                  "61011");
        std::string log = logSince(mark);
        EXPECT_NE(log.find("Catch component exception"), std::string::npos);
        EXPECT_NE(log.find("[Safe Line] Safe in ComponentAPI_GPKI_SignData at "),
                  std::string::npos);
        EXPECT_NE(log.find(" lines in AdapterProject"), std::string::npos);
        EXPECT_EQ(log.find("Finish component func: "), std::string::npos);
    }
    // Every answer kind ends the same way.
    EXPECT_EQ(call({{"FunctionName", "SetCodePage"}, {"codePage", "950"}}), "61011");
    EXPECT_EQ(call({{"FunctionName", "GPKI_EnumCerts"}}), "61011");
    EXPECT_EQ(call({{"FunctionName", "GPKI_VerifyPIN"}, {"bPIN", "0000"}}), "61011");
    component_.setFailure(S_OK);
    EXPECT_EQ(call({{"FunctionName", "GPKI_VerifyPIN"}, {"bPIN", "0000"}}), "42");
}

TEST_F(AdapterTest, TextParametersAreWipedOnEveryPath) {
#ifndef KESTROVA_CAN_INSPECT_FREED
    GTEST_SKIP() << "freed memory can only be inspected under AddressSanitizer";
#else
    // The UTF-16 copies the component saw are zero once the call is over,
    // whether the component failed or not.
    for (HRESULT failure : {E_FAIL, S_OK}) {
        component_.setFailure(failure);
        std::string answer = call({{"FunctionName", "GPKI_SignData"},
                                   {"KestrovaFunctionIndex", "49"},
                                   {"sOptPIN", "135790"},
                                   {"sData", "secret data to sign"},
                                   {"signcodepage", "65001"}});
        EXPECT_EQ(answer, failure == S_OK ? "answer:GPKI_SignData" : "61011");
        for (int i = 0; i < 3; i++) {
            const void* address = nullptr;
            size_t bytes = 0;
            ASSERT_TRUE(component_.textArgument(i, &address, &bytes));
            EXPECT_GT(bytes, 0u);
            EXPECT_TRUE(allZero(address, bytes)) << "text parameter " << i;
        }
    }
#endif
}

TEST_F(AdapterTest, EnumCertsListConversion) {
    struct Case {
        int mode;
        const char* answer;
        const char* printed;
    };
    const Case cases[] = {
        {kEnumThreeStrings, "cert-a;cert-b;cert-c;", ""},
        {kEnumMixed, "x;5;-7;;;", ""},
        {kEnumBoolTrue, "1", ""},
        {kEnumBoolFalse, "0", ""},
        {kEnumEmptyArray, "", ""},
        {kEnumLowerBound, "p;q;", ""},
        {kEnumScalar, "", ""},
        {kEnumStringArray, "",
         "Error!! value->vt & ~VT_ARRAY = 8\nError!! value->vt & ~VT_ARRAY = 8\n"},
    };
    for (const Case& c : cases) {
        component_.setEnumMode(c.mode);
        testing::internal::CaptureStdout();
        std::string answer = call({{"FunctionName", "GPKI_EnumCerts"}, {"iFlags", "3"}});
        std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(answer, c.answer) << "mode " << c.mode;
        EXPECT_EQ(printed, c.printed) << "mode " << c.mode;
        EXPECT_STREQ(component_.lastArguments(), "3");
    }
}

TEST_F(AdapterTest, CopiesKeepSeparateStateAndUnloadForGood) {
    AdapterCopy& first = loadCopy(0);
    AdapterCopy& second = loadCopy(1);
    ASSERT_NE(first.module, second.module);
    ASSERT_NE(reinterpret_cast<void*>(first.callMethod),
              reinterpret_cast<void*>(second.callMethod));

    const char* firstAnswer =
        first.callMethod(jsonOf({{"FunctionName", "x"}, {"KestrovaFunctionIndex", "-1"}}).c_str());
    const char* secondAnswer =
        second.callMethod(jsonOf({{"FunctionName", "GPKI_GetSlotCount"}}).c_str());
    EXPECT_STREQ(secondAnswer, "42");
    EXPECT_STREQ(firstAnswer, kVersion) << "the other copy's call left this answer alone";
    EXPECT_EQ(component_.liveObjects(), baseObjects_ + 2) << "one component per copy";

    // Releasing the first copy leaves the second one working.
    EXPECT_EQ(call(first, jsonOf({{"FunctionName", "x"}, {"KestrovaFunctionIndex", "-3"}})), "");
    EXPECT_EQ(call(first, jsonOf({{"FunctionName", "GPKI_GetSlotCount"}})), "61005");
    EXPECT_EQ(call(second, jsonOf({{"FunctionName", "GPKI_GetSlotCount"}})), "42");

    // Only the two entry points are visible: nothing of the copy's own JSON,
    // log or COM code can bind to the host's.
    for (const char* hidden :
         {"parseJsonMap", "getValue", "setLog", "logNormal", "reportMissingKeys", "SysAllocString",
          "CoCreateInstance", "DllGetClassObject", "secureWipe"})
        EXPECT_EQ(dlsym(second.module, hidden), nullptr) << hidden;

    std::string firstPath = first.path;
    ASSERT_EQ(dlclose(first.module), 0);
    first.module = nullptr;
    EXPECT_EQ(dlopen(firstPath.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr)
        << "the copy is really unloaded";

    EXPECT_EQ(call(second, jsonOf({{"FunctionName", "GPKI_GetSlotCount"}})), "42");
    EXPECT_EQ(call(second, jsonOf({{"FunctionName", "x"}, {"KestrovaFunctionIndex", "-3"}})), "");
    std::string secondPath = second.path;
    ASSERT_EQ(dlclose(second.module), 0);
    second.module = nullptr;
    EXPECT_EQ(dlopen(secondPath.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
    EXPECT_EQ(component_.liveObjects(), baseObjects_);

    // A fresh load of the same file starts uninitialised again.
    AdapterCopy& again = loadCopy(2);
    EXPECT_EQ(call(again, jsonOf({{"FunctionName", "GPKI_GetSlotCount"}})), "42");
}
