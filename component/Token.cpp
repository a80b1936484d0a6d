// PKCS#11 through GnuTLS: tokens are found by GnuTLS (p11-kit loads the
// modules), keys and certificates come back as GnuTLS handles, and the few
// things GnuTLS hides (an exact C_Login, the token's PIN flags) go straight to
// the module's function list that GnuTLS hands out for a token.

#include "component/Token.h"

#include "common/runtime/Log.h"
#include "common/runtime/Tool.h"
#include "component/CodePage.h"
#include "component/FileAccess.h"

#include <gnutls/pkcs11.h>
#include <p11-kit/p11-kit.h>
#include <p11-kit/pkcs11.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#ifndef KESTROVA_P11_MODULE_PATH
#define KESTROVA_P11_MODULE_PATH "/usr/lib/x86_64-linux-gnu/pkcs11"
#endif

namespace {

// A login one component object made: the session we keep open holds the
// token's login alive, the ticket says whose it is.
struct HeldLogin {
    uint64_t ticket = 0;
    CK_FUNCTION_LIST* module = nullptr;
    CK_SESSION_HANDLE session = 0;
};

// One token as one call sees it.
struct TokenRef {
    std::string url;
    CK_FUNCTION_LIST* module = nullptr;
    CK_SLOT_ID slot = 0;
};

struct TokenGlobals {
    std::recursive_mutex lock;
    bool initialised = false;
    bool initFailed = false;
    std::string envModule;          // KESTROVA_PKCS11_MODULE
    bool envModuleFailed = false;   // ... which did not load
    std::vector<std::string> added; // modules handed to GnuTLS by us
    bool allowedKnown = false;
    std::vector<std::string> allowedModules; // p11-kit's configured modules
    uint64_t nextTicket = 1;
    std::map<std::string, HeldLogin> logins; // by token URL
};

TokenGlobals gl;

struct GnutlsFree {
    void operator()(void* p) const { gnutls_free(p); }
};

// Resolves a module name as p11-kit does: bare names live in its module folder.
std::string modulePathOf(const std::string& name) {
    if (name.empty() || name[0] == '/')
        return name;
    return std::string(KESTROVA_P11_MODULE_PATH) + "/" + name;
}

bool sameFile(const std::string& a, const std::string& b) {
    struct stat sa {
    }, sb{};
    if (stat(modulePathOf(a).c_str(), &sa) != 0)
        return false;
    if (stat(modulePathOf(b).c_str(), &sb) != 0)
        return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool ensureInitLocked() {
    if (gl.initialised)
        return true;
    if (gl.initFailed)
        return false;
    const char* env = getenv("KESTROVA_PKCS11_MODULE");
    gl.envModule = env ? env : "";
    int rc;
    if (!gl.envModule.empty()) {
        rc = gnutls_pkcs11_init(GNUTLS_PKCS11_FLAG_MANUAL, nullptr);
        if (rc >= 0) {
            // A module that does not load leaves the component usable with
            // the modules GPKI_SetPKCS11Driver may still choose.
            int added = gnutls_pkcs11_add_provider(gl.envModule.c_str(), nullptr);
            if (added >= 0) {
                gl.added.push_back(gl.envModule);
            } else {
                logError("PKCS#11 module cannot be loaded: ", gl.envModule.c_str());
                gl.envModuleFailed = true;
            }
        }
    } else {
        rc = gnutls_pkcs11_init(GNUTLS_PKCS11_FLAG_AUTO, nullptr);
    }
    if (rc < 0) {
        logError("PKCS#11 initialisation failed: ", gnutls_strerror(rc));
        gl.initFailed = true;
        return false;
    }
    gl.initialised = true;
    return true;
}

const std::vector<std::string>& configuredModulesLocked() {
    if (!gl.allowedKnown) {
        gl.allowedKnown = true;
        CK_FUNCTION_LIST** modules = p11_kit_modules_load(nullptr, 0);
        if (modules) {
            for (CK_FUNCTION_LIST** m = modules; *m; ++m) {
                char* file = p11_kit_module_get_filename(*m);
                if (file) {
                    gl.allowedModules.push_back(modulePathOf(file));
                    free(file);
                }
            }
            p11_kit_modules_release(modules);
        }
    }
    return gl.allowedModules;
}

bool moduleAllowedLocked(const std::string& path) {
    if (!gl.envModule.empty() && sameFile(path, gl.envModule))
        return true;
    for (const std::string& m : configuredModulesLocked())
        if (sameFile(path, m))
            return true;
    for (const std::string& m : fileAccessConfiguredModules())
        if (sameFile(path, m))
            return true;
    return false;
}

// The module file behind a token's function list.
std::string moduleFileOf(CK_FUNCTION_LIST* module) {
    std::string out;
    char* file = p11_kit_module_get_filename(module);
    if (file) {
        out = modulePathOf(file);
        free(file);
    }
    return out;
}

// Tokens of the object's module(s): initialised, present, not p11-kit's trust
// store, in GnuTLS's order (module order, then slot order).
long listTokensLocked(ComponentState& state, std::vector<TokenRef>& out) {
    out.clear();
    if (!ensureInitLocked())
        return kTokenModuleFailed;
    if (state.modulePath.empty() && gl.envModuleFailed)
        return kTokenModuleFailed;
    std::string filter = state.modulePath.empty() ? gl.envModule : state.modulePath;
    for (unsigned seq = 0; seq < 256; ++seq) {
        char* rawUrl = nullptr;
        int rc = gnutls_pkcs11_token_get_url(seq, GNUTLS_PKCS11_URL_GENERIC, &rawUrl);
        if (rc < 0)
            break;
        std::unique_ptr<char, GnutlsFree> url(rawUrl);
        unsigned flags = 0;
        if (gnutls_pkcs11_token_get_flags(url.get(), &flags) < 0)
            continue;
        if (flags & GNUTLS_PKCS11_TOKEN_TRUSTED)
            continue;
        if (!(flags & GNUTLS_PKCS11_TOKEN_INITIALIZED))
            continue;
        void* ptr = nullptr;
        unsigned long slot = 0;
        if (gnutls_pkcs11_token_get_ptr(url.get(), &ptr, &slot, 0) < 0 || !ptr)
            continue;
        auto* module = static_cast<CK_FUNCTION_LIST*>(ptr);
        std::string file = moduleFileOf(module);
        if (file.find("p11-kit-trust") != std::string::npos)
            continue;
        if (!filter.empty() && !sameFile(file, filter))
            continue;
        TokenRef ref;
        ref.url = url.get();
        ref.module = module;
        ref.slot = slot;
        out.push_back(std::move(ref));
    }
    return kTokenOk;
}

long selectedTokenLocked(ComponentState& state, TokenRef& out) {
    std::vector<TokenRef> tokens;
    long rc = listTokensLocked(state, tokens);
    if (rc != kTokenOk)
        return rc;
    if (tokens.empty())
        return kTokenNoToken;
    if (state.slotIndex < 0 || static_cast<size_t>(state.slotIndex) >= tokens.size())
        return kTokenBadSlot;
    out = tokens[static_cast<size_t>(state.slotIndex)];
    return kTokenOk;
}

void dropLoginLocked(const std::string& url, bool logout) {
    auto it = gl.logins.find(url);
    if (it == gl.logins.end())
        return;
    if (it->second.module) {
        if (logout)
            it->second.module->C_Logout(it->second.session);
        it->second.module->C_CloseSession(it->second.session);
    }
    gl.logins.erase(it);
}

// True when the login the object made is still the token's login.
bool holdsLoginLocked(const ComponentState& state, const TokenRef& token) {
    if (state.loginTicket == 0)
        return false;
    auto it = gl.logins.find(token.url);
    if (it == gl.logins.end() || it->second.ticket != state.loginTicket)
        return false;
    CK_SESSION_INFO info{};
    if (it->second.module->C_GetSessionInfo(it->second.session, &info) != CKR_OK) {
        dropLoginLocked(token.url, false);
        return false;
    }
    return info.state == CKS_RO_USER_FUNCTIONS || info.state == CKS_RW_USER_FUNCTIONS;
}

bool loginRequired(const TokenRef& token) {
    unsigned flags = 0;
    if (gnutls_pkcs11_token_get_flags(token.url.c_str(), &flags) < 0)
        return true;
    return (flags & GNUTLS_PKCS11_TOKEN_LOGIN_REQUIRED) != 0;
}

long loginLocked(ComponentState& state, const TokenRef& token, const std::string& pin) {
    if (pin.empty() || pin.size() > 256)
        return kTokenPinBad;
    // Whoever held the token's login loses it now: the PIN is checked afresh.
    dropLoginLocked(token.url, true);
    CK_SESSION_HANDLE session = 0;
    CK_RV rv =
        token.module->C_OpenSession(token.slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session);
    if (rv != CKR_OK) {
        logWarningNumber("C_OpenSession failed: ", static_cast<long>(rv));
        return rv == CKR_TOKEN_NOT_PRESENT ? kTokenNoToken : kTokenDeviceError;
    }
    // A login made elsewhere in the process (another session, GnuTLS) would
    // make C_Login answer "already logged in" even to a wrong PIN.
    token.module->C_Logout(session);
    std::vector<CK_UTF8CHAR> pinBytes(pin.begin(), pin.end());
    rv = token.module->C_Login(session, CKU_USER, pinBytes.data(),
                               static_cast<CK_ULONG>(pinBytes.size()));
    secureWipe(pinBytes.data(), pinBytes.size());
    if (rv != CKR_OK) {
        token.module->C_CloseSession(session);
        state.loginTicket = 0;
        logWarningNumber("C_Login refused: ", static_cast<long>(rv));
        switch (rv) {
        case CKR_PIN_INCORRECT:
            return kTokenPinIncorrect;
        case CKR_PIN_LOCKED:
            return kTokenPinLocked;
        case CKR_PIN_LEN_RANGE:
        case CKR_PIN_INVALID:
            return kTokenPinBad;
        case CKR_TOKEN_NOT_PRESENT:
        case CKR_DEVICE_REMOVED:
            return kTokenNoToken;
        default:
            return kTokenDeviceError;
        }
    }
    HeldLogin held;
    held.ticket = gl.nextTicket++;
    held.module = token.module;
    held.session = session;
    gl.logins[token.url] = held;
    state.loginTicket = held.ticket;
    logNormal("Token login: ", "accepted");
    return kTokenOk;
}

std::string percentEncode(const std::string& bytes) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out += '%';
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    return out;
}

// Hands a PIN to GnuTLS only for keys that want one per operation
// (CKA_ALWAYS_AUTHENTICATE); never twice, never after a refusal.
struct PinHolder {
    std::string pin;
    int uses = 0;
    ~PinHolder() { secureWipe(pin.data(), pin.size()); }
};

int keyPinCallback(void* userdata, int, const char*, const char*, unsigned flags, char* pin,
                   size_t pinMax) {
    auto* holder = static_cast<PinHolder*>(userdata);
    if (!holder || holder->pin.empty() || (flags & GNUTLS_PIN_WRONG) || holder->uses > 0 ||
        holder->pin.size() + 1 > pinMax)
        return GNUTLS_E_PKCS11_PIN_ERROR;
    holder->uses++;
    memcpy(pin, holder->pin.c_str(), holder->pin.size() + 1);
    return 0;
}

struct TokenKeyExtra {
    PinHolder pin;
};

std::map<gnutls_privkey_t, std::unique_ptr<TokenKeyExtra>>& keyExtras() {
    static std::map<gnutls_privkey_t, std::unique_ptr<TokenKeyExtra>> extras;
    return extras;
}

long openKeyByIdLocked(ComponentState& state, const TokenRef& token, const TokenCertificate& cert,
                       const std::string& optionalPin, TokenKey& outKey) {
    long rc = tokenEnsureLogin(state, optionalPin);
    if (rc != kTokenOk)
        return rc;
    TokenKey key;
    if (gnutls_x509_crt_init(&key.crt) < 0)
        return kTokenNoMemory;
    gnutls_datum_t der{reinterpret_cast<unsigned char*>(const_cast<char*>(cert.der.data())),
                       static_cast<unsigned>(cert.der.size())};
    if (gnutls_x509_crt_import(key.crt, &der, GNUTLS_X509_FMT_DER) < 0) {
        tokenKeyFree(key);
        return kTokenBadCertificate;
    }
    if (gnutls_privkey_init(&key.key) < 0) {
        tokenKeyFree(key);
        return kTokenNoMemory;
    }
    auto extra = std::make_unique<TokenKeyExtra>();
    extra->pin.pin = optionalPin;
    gnutls_privkey_set_pin_function(key.key, keyPinCallback, &extra->pin);
    keyExtras()[key.key] = std::move(extra);
    std::string url = token.url + ";id=" + percentEncode(cert.id) + ";type=private";
    int grc = gnutls_privkey_import_url(key.key, url.c_str(), 0);
    if (grc < 0) {
        logWarning("Private key import failed: ", gnutls_strerror(grc));
        tokenKeyFree(key);
        if (grc == GNUTLS_E_PKCS11_PIN_ERROR || grc == GNUTLS_E_PKCS11_USER_ERROR)
            return kTokenPinRequired;
        return kTokenNoKey;
    }
    key.certDer = cert.der;
    key.kind = cert.kind;
    state.cachedCert = cert.der;
    outKey = key;
    return kTokenOk;
}

long listCertificatesLocked(const TokenRef& token, std::vector<TokenCertificate>& out) {
    out.clear();
    gnutls_pkcs11_obj_t* objs = nullptr;
    unsigned count = 0;
    int rc = gnutls_pkcs11_obj_list_import_url4(&objs, &count, token.url.c_str(),
                                                GNUTLS_PKCS11_OBJ_FLAG_CRT);
    if (rc < 0) {
        logWarning("Certificate listing failed: ", gnutls_strerror(rc));
        return rc == GNUTLS_E_PKCS11_TOKEN_ERROR ? kTokenNoToken : kTokenDeviceError;
    }
    for (unsigned i = 0; i < count; ++i) {
        gnutls_datum_t der{};
        if (gnutls_pkcs11_obj_export3(objs[i], GNUTLS_X509_FMT_DER, &der) >= 0) {
            TokenCertificate cert;
            cert.der.assign(reinterpret_cast<char*>(der.data), der.size);
            gnutls_free(der.data);
            char buf[512];
            size_t size = sizeof buf;
            if (gnutls_pkcs11_obj_get_info(objs[i], GNUTLS_PKCS11_OBJ_ID, buf, &size) >= 0)
                cert.id.assign(buf, size);
            size = sizeof buf;
            if (gnutls_pkcs11_obj_get_info(objs[i], GNUTLS_PKCS11_OBJ_LABEL, buf, &size) >= 0)
                cert.label.assign(buf, strnlen(buf, size));
            gnutls_x509_crt_t crt = nullptr;
            bool keep = false;
            if (gnutls_x509_crt_init(&crt) >= 0) {
                gnutls_datum_t d{reinterpret_cast<unsigned char*>(cert.der.data()),
                                 static_cast<unsigned>(cert.der.size())};
                if (gnutls_x509_crt_import(crt, &d, GNUTLS_X509_FMT_DER) >= 0) {
                    unsigned critical = 0;
                    // Authority certificates a card may carry are not the holder's.
                    keep = gnutls_x509_crt_get_ca_status(crt, &critical) <= 0;
                    tokenCertificateClass(crt, cert.usage, cert.kind);
                }
                gnutls_x509_crt_deinit(crt);
            }
            if (keep)
                out.push_back(std::move(cert));
        }
        gnutls_pkcs11_obj_deinit(objs[i]);
    }
    gnutls_free(objs);
    std::stable_sort(out.begin(), out.end(),
                     [](const TokenCertificate& a, const TokenCertificate& b) {
                         return a.label != b.label ? a.label < b.label : a.id < b.id;
                     });
    return kTokenOk;
}

bool fitsFlags(const TokenCertificate& cert, long flags) {
    long usage = flags & kKeyUsageMask;
    long kind = flags & kKeyKindMask;
    if (usage && !(cert.usage & usage))
        return false;
    if (kind && !(cert.kind & kind))
        return false;
    return true;
}

// The selected token and the certificates it holds.
long selectedCertificatesLocked(ComponentState& state, TokenRef& token,
                                std::vector<TokenCertificate>& out) {
    long rc = selectedTokenLocked(state, token);
    if (rc != kTokenOk)
        return rc;
    return listCertificatesLocked(token, out);
}

} // namespace

// ---------------------------------------------------------------------------
// Outcomes and object state
// ---------------------------------------------------------------------------

const char* tokenResultText(long result) {
    switch (result) {
    case kTokenOk:
        return "success";
    case kTokenNotSupported:
        return "method not supported";
    case kTokenBadArgument:
        return "bad argument";
    case kTokenModuleRefused:
        return "PKCS#11 module not allowed";
    case kTokenModuleFailed:
        return "PKCS#11 module cannot be loaded";
    case kTokenNoToken:
        return "no token present";
    case kTokenBadSlot:
        return "slot index out of range";
    case kTokenPinRequired:
        return "PIN required";
    case kTokenPinIncorrect:
        return "PIN incorrect";
    case kTokenPinLocked:
        return "PIN locked";
    case kTokenPinBad:
        return "PIN empty or malformed";
    case kTokenNoCertificate:
        return "no matching certificate";
    case kTokenNoKey:
        return "no private key for the certificate";
    case kTokenBadCertificate:
        return "certificate cannot be decoded";
    case kTokenNoField:
        return "certificate lacks the field";
    case kTokenBadBase64:
        return "bad Base64";
    case kTokenBadCodePage:
        return "unknown code page or unconvertible text";
    case kTokenBadHashFlag:
        return "unknown hash flag";
    case kTokenUnsupportedKey:
        return "key type not supported";
    case kTokenSignFailed:
        return "signing failed";
    case kTokenEncryptFailed:
        return "encryption failed";
    case kTokenDecryptFailed:
        return "decryption failed";
    case kTokenTooLarge:
        return "input too large";
    case kTokenPathRefused:
        return "path outside the allowed folders";
    case kTokenFileFailed:
        return "file cannot be read or written";
    case kTokenDeviceError:
        return "token error";
    case kTokenNoMemory:
        return "out of memory";
    default:
        return "error";
    }
}

long componentSetError(ComponentState& state, long result, const char* detail) {
    state.lastError = result;
    state.lastErrorDetail = detail ? detail : "";
    if (result != kTokenOk) {
        logWarningNumber("Component error: ", result);
        if (detail && *detail)
            logWarning("Component error detail: ", detail);
    }
    return result;
}

void componentStateRelease(ComponentState& state) {
    auto guard = tokenLock();
    if (state.loginTicket != 0) {
        for (auto it = gl.logins.begin(); it != gl.logins.end(); ++it) {
            if (it->second.ticket == state.loginTicket) {
                dropLoginLocked(it->first, true);
                break;
            }
        }
        state.loginTicket = 0;
    }
    secureWipe(state.cachedCert.data(), state.cachedCert.size());
    state.cachedCert.clear();
}

std::unique_lock<std::recursive_mutex> tokenLock() {
    return std::unique_lock<std::recursive_mutex>(gl.lock);
}

// ---------------------------------------------------------------------------
// Modules and slots
// ---------------------------------------------------------------------------

long tokenSelectModule(ComponentState& state, const std::string& path, long& outTokenCount) {
    outTokenCount = 0;
    if (!ensureInitLocked())
        return kTokenModuleFailed;
    if (path.empty()) {
        state.modulePath.clear();
    } else {
        std::string full = modulePathOf(path);
        struct stat st {};
        if (stat(full.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !moduleAllowedLocked(full)) {
            logWarning("PKCS#11 module refused: ", path.c_str());
            return kTokenModuleRefused;
        }
        bool known = false;
        for (const std::string& m : gl.added)
            if (sameFile(m, full))
                known = true;
        if (!known) {
            int rc = gnutls_pkcs11_add_provider(full.c_str(), nullptr);
            if (rc < 0) {
                logWarning("PKCS#11 module cannot be loaded: ", gnutls_strerror(rc));
                return kTokenModuleFailed;
            }
            gl.added.push_back(full);
        }
        state.modulePath = full;
    }
    state.slotIndex = 0;
    return tokenCount(state, outTokenCount);
}

long tokenCount(ComponentState& state, long& outCount) {
    std::vector<TokenRef> tokens;
    long rc = listTokensLocked(state, tokens);
    outCount = static_cast<long>(tokens.size());
    return rc;
}

long tokenSelectSlot(ComponentState& state, long index) {
    std::vector<TokenRef> tokens;
    long rc = listTokensLocked(state, tokens);
    if (rc != kTokenOk)
        return rc;
    if (index < 0 || static_cast<size_t>(index) >= tokens.size())
        return kTokenBadSlot;
    state.slotIndex = index;
    return kTokenOk;
}

long tokenDetect(ComponentState& state, bool& outPresent) {
    TokenRef token;
    long rc = selectedTokenLocked(state, token);
    outPresent = rc == kTokenOk;
    return rc == kTokenNoToken || rc == kTokenBadSlot ? kTokenOk : rc;
}

long tokenSelectedSlot(ComponentState& state, void*& outFunctionList, unsigned long& outSlot) {
    TokenRef token;
    long rc = selectedTokenLocked(state, token);
    if (rc != kTokenOk)
        return rc;
    outFunctionList = token.module;
    outSlot = token.slot;
    return kTokenOk;
}

long tokenSerialNumber(ComponentState& state, std::string& outSerial) {
    TokenRef token;
    long rc = selectedTokenLocked(state, token);
    if (rc != kTokenOk)
        return rc;
    char buf[128];
    size_t size = sizeof buf;
    if (gnutls_pkcs11_token_get_info(token.url.c_str(), GNUTLS_PKCS11_TOKEN_SERIAL, buf, &size) < 0)
        return kTokenDeviceError;
    outSerial.assign(buf, strnlen(buf, sizeof buf));
    while (!outSerial.empty() && outSerial.back() == ' ')
        outSerial.pop_back();
    return kTokenOk;
}

// ---------------------------------------------------------------------------
// PIN
// ---------------------------------------------------------------------------

long tokenLogin(ComponentState& state, const std::string& pin) {
    TokenRef token;
    long rc = selectedTokenLocked(state, token);
    if (rc != kTokenOk)
        return rc;
    return loginLocked(state, token, pin);
}

long tokenEnsureLogin(ComponentState& state, const std::string& optionalPin) {
    TokenRef token;
    long rc = selectedTokenLocked(state, token);
    if (rc != kTokenOk)
        return rc;
    if (!optionalPin.empty())
        return loginLocked(state, token, optionalPin);
    if (holdsLoginLocked(state, token))
        return kTokenOk;
    if (!loginRequired(token))
        return kTokenOk;
    return kTokenPinRequired;
}

long tokenPinTriesLeft(ComponentState& state, long& outTries) {
    TokenRef token;
    long rc = selectedTokenLocked(state, token);
    if (rc != kTokenOk)
        return rc;
    CK_TOKEN_INFO info{};
    if (token.module->C_GetTokenInfo(token.slot, &info) != CKR_OK)
        return kTokenDeviceError;
    if (info.flags & CKF_USER_PIN_LOCKED)
        outTries = 0;
    else if (info.flags & CKF_USER_PIN_FINAL_TRY)
        outTries = 1;
    else if (info.flags & CKF_USER_PIN_COUNT_LOW)
        outTries = 2;
    else
        outTries = 3;
    return kTokenOk;
}

// ---------------------------------------------------------------------------
// Certificates and keys
// ---------------------------------------------------------------------------

void tokenCertificateClass(gnutls_x509_crt_t crt, long& outUsage, long& outKind) {
    outUsage = 0;
    outKind = 0;
    unsigned usage = 0, critical = 0;
    if (gnutls_x509_crt_get_key_usage(crt, &usage, &critical) < 0) {
        outUsage = kKeyUsageSign | kKeyUsageEncrypt;
    } else {
        if (usage & (GNUTLS_KEY_DIGITAL_SIGNATURE | GNUTLS_KEY_NON_REPUDIATION))
            outUsage |= kKeyUsageSign;
        if (usage &
            (GNUTLS_KEY_KEY_ENCIPHERMENT | GNUTLS_KEY_DATA_ENCIPHERMENT | GNUTLS_KEY_KEY_AGREEMENT))
            outUsage |= kKeyUsageEncrypt;
    }
    int pk = gnutls_x509_crt_get_pk_algorithm(crt, nullptr);
    if (pk == GNUTLS_PK_RSA || pk == GNUTLS_PK_RSA_PSS)
        outKind = kKeyKindRsa;
    else if (pk == GNUTLS_PK_ECDSA)
        outKind = kKeyKindEc;
}

long tokenListCertificates(ComponentState& state, long flags,
                           std::vector<TokenCertificate>& outList) {
    outList.clear();
    TokenRef token;
    std::vector<TokenCertificate> all;
    long rc = selectedCertificatesLocked(state, token, all);
    if (rc != kTokenOk)
        return rc;
    for (TokenCertificate& cert : all)
        if (fitsFlags(cert, flags))
            outList.push_back(std::move(cert));
    return kTokenOk;
}

void tokenKeyFree(TokenKey& key) {
    if (key.key) {
        gnutls_privkey_deinit(key.key);
        keyExtras().erase(key.key);
        key.key = nullptr;
    }
    if (key.crt) {
        gnutls_x509_crt_deinit(key.crt);
        key.crt = nullptr;
    }
    key.certDer.clear();
    key.kind = 0;
}

long tokenOpenKey(ComponentState& state, long flags, long defaultUsage,
                  const std::string& optionalPin, TokenKey& outKey) {
    TokenRef token;
    std::vector<TokenCertificate> all;
    long rc = selectedCertificatesLocked(state, token, all);
    if (rc != kTokenOk)
        return rc;
    long wanted = flags & (kKeyUsageMask | kKeyKindMask);
    if (!(wanted & kKeyUsageMask))
        wanted |= defaultUsage & kKeyUsageMask;
    for (const TokenCertificate& cert : all)
        if (fitsFlags(cert, wanted))
            return openKeyByIdLocked(state, token, cert, optionalPin, outKey);
    return kTokenNoCertificate;
}

long tokenOpenKeyForCertificate(ComponentState& state, const std::string& certDer,
                                const std::string& optionalPin, TokenKey& outKey) {
    TokenRef token;
    std::vector<TokenCertificate> all;
    long rc = selectedCertificatesLocked(state, token, all);
    if (rc != kTokenOk)
        return rc;
    for (const TokenCertificate& cert : all)
        if (cert.der == certDer)
            return openKeyByIdLocked(state, token, cert, optionalPin, outKey);
    return kTokenNoCertificate;
}

// ---------------------------------------------------------------------------
// Certificate texts
// ---------------------------------------------------------------------------

long tokenCertificateFromText(ComponentState& state, const std::string& text, std::string& outDer) {
    outDer.clear();
    size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        if (state.cachedCert.empty())
            return kTokenBadArgument;
        outDer = state.cachedCert;
        return kTokenOk;
    }
    if (text.size() > 1024 * 1024)
        return kTokenTooLarge;
    std::string der;
    if (text.compare(first, 10, "-----BEGIN") == 0) {
        gnutls_datum_t pem{reinterpret_cast<unsigned char*>(const_cast<char*>(text.data())),
                           static_cast<unsigned>(text.size())};
        gnutls_datum_t out{};
        if (gnutls_pem_base64_decode2("CERTIFICATE", &pem, &out) < 0)
            return kTokenBadCertificate;
        der.assign(reinterpret_cast<char*>(out.data), out.size);
        gnutls_free(out.data);
    } else if (!base64Decode(text, der)) {
        return kTokenBadCertificate;
    }
    gnutls_x509_crt_t crt = nullptr;
    if (gnutls_x509_crt_init(&crt) < 0)
        return kTokenNoMemory;
    gnutls_datum_t d{reinterpret_cast<unsigned char*>(der.data()),
                     static_cast<unsigned>(der.size())};
    int rc = gnutls_x509_crt_import(crt, &d, GNUTLS_X509_FMT_DER);
    gnutls_x509_crt_deinit(crt);
    if (rc < 0)
        return kTokenBadCertificate;
    outDer = std::move(der);
    return kTokenOk;
}
