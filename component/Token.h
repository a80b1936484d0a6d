#pragma once
// The PKCS#11 side of the GPKI component: the per-object record, module and
// slot choice, PIN login, certificates of the selected token and the private
// key that belongs to one of them, as GnuTLS handles (gnutls_privkey_t over a
// token key, gnutls_x509_crt_t). p11-kit loads the modules.
//
// Every function here expects the caller to hold the token lock (tokenLock):
// PKCS#11 login state belongs to the token, not to one component object, so
// the objects of all sessions in the process take turns on the tokens.

#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// ---------------------------------------------------------------------------
// Outcomes. The component keeps the last one as its lastError (0 success).
// The CMS and XML family keep their own range (Cms.h, 62001...).
// ---------------------------------------------------------------------------

enum TokenResult : long {
    kTokenOk = 0,
    kTokenNotSupported = 63001,   // method not offered by this component
    kTokenBadArgument = 63002,    // empty or malformed parameter, unknown flag
    kTokenModuleRefused = 63003,  // module path not among the allowed modules
    kTokenModuleFailed = 63004,   // module cannot be loaded or initialised
    kTokenNoToken = 63005,        // no token in the selected slot
    kTokenBadSlot = 63006,        // slot index out of range
    kTokenPinRequired = 63007,    // key needs a PIN and this object holds no login
    kTokenPinIncorrect = 63008,   // the token refused the PIN
    kTokenPinLocked = 63009,      // the token's user PIN is locked
    kTokenPinBad = 63010,         // PIN empty, too long or of a form the token refuses
    kTokenNoCertificate = 63011,  // no certificate on the token fits the flags
    kTokenNoKey = 63012,          // the certificate has no private key on the token
    kTokenBadCertificate = 63013, // a certificate text does not parse
    kTokenNoField = 63014,        // the certificate lacks the asked field
    kTokenBadBase64 = 63015,      // Base64 input does not decode
    kTokenBadCodePage = 63016,    // unknown code page or text it cannot hold
    kTokenBadHashFlag = 63017,    // unknown digest selector
    kTokenUnsupportedKey = 63018, // key kind the operation cannot use
    kTokenSignFailed = 63019,     // the token failed to sign
    kTokenEncryptFailed = 63020,  // encryption failed (data too long for the key, ...)
    kTokenDecryptFailed = 63021,  // the token failed to decrypt (wrong key, bad padding)
    kTokenTooLarge = 63022,       // input or file beyond its cap
    kTokenPathRefused = 63023,    // path outside the allowed folders
    kTokenFileFailed = 63024,     // file cannot be read or written
    kTokenDeviceError = 63025,    // other PKCS#11 failure
    kTokenNoMemory = 63026,       // allocation failed
};

// Short English text of an outcome ("PIN incorrect", ...); never null.
const char* tokenResultText(long result);

// ---------------------------------------------------------------------------
// Flags shared by the key and certificate methods ("iFlags"/"lFlags").
// ---------------------------------------------------------------------------

constexpr long kKeyUsageSign = 0x1;    // digitalSignature or nonRepudiation (or no key usage)
constexpr long kKeyUsageEncrypt = 0x2; // keyEncipherment, dataEncipherment or keyAgreement
constexpr long kKeyUsageMask = 0x3;
constexpr long kKeyKindRsa = 0x10; // only RSA keys
constexpr long kKeyKindEc = 0x20;  // only EC keys
constexpr long kKeyKindMask = 0x30;

// ---------------------------------------------------------------------------
// The component object's own state (one per created component object).
// ---------------------------------------------------------------------------

struct ComponentState {
    // Module chosen by GPKI_SetPKCS11Driver; empty = the default modules
    // (KESTROVA_PKCS11_MODULE, else p11-kit's configured modules).
    std::string modulePath;
    // Index into the token list of the module (GPKI_SetReaderSlot).
    long slotIndex = 0;
    // Windows code page number used where a method takes no code page of its
    // own (SetCodePage); 65001 is UTF-8.
    long codePage = 65001;
    // DER of the certificate of the last key used, or the first one listed.
    std::string cachedCert;
    // Dialog texts set by SetDialogString, keyed by (dialog id, string id).
    std::map<std::pair<long, long>, std::string> dialogStrings;
    // Folders for relative XML references (SetXMLReferenceDirs), already
    // checked against the allowed folders.
    std::vector<std::string> xmlReferenceDirs;
    // Outcome of the last method (get_lastError) and a short detail.
    long lastError = 0;
    std::string lastErrorDetail;
    // Login this object holds on its token (0 = none); compared with the
    // token lock's record so that one page's login never serves another's.
    uint64_t loginTicket = 0;
};

// Records the outcome of a method on the object (lastError) and logs the
// detail (never a PIN or data). Returns result, so bodies can
// `return componentSetError(state, kTokenNoKey, "...");`.
long componentSetError(ComponentState& state, long result, const char* detail = nullptr);

// Ends the object's login (if it still holds the token's login, logs out) and
// clears what it cached. Called when the component object goes away.
void componentStateRelease(ComponentState& state);

// The process-wide token lock. Hold it for the whole of a method's token
// work, including every use of a TokenKey.
std::unique_lock<std::recursive_mutex> tokenLock();

// ---------------------------------------------------------------------------
// Modules and slots
// ---------------------------------------------------------------------------

// Makes path the object's module. Only modules p11-kit is configured with,
// KESTROVA_PKCS11_MODULE and the "module = " lines of component.conf are
// accepted: a page must not make the service load a library of its choice.
// An empty path returns to the default modules. On success the slot index is
// reset to 0 and outTokenCount gets the number of tokens now visible.
[[nodiscard]] long tokenSelectModule(ComponentState& state, const std::string& path,
                                     long& outTokenCount);

// Number of initialised tokens of the object's module(s).
[[nodiscard]] long tokenCount(ComponentState& state, long& outCount);

// Selects the slot by index (0 .. count-1).
[[nodiscard]] long tokenSelectSlot(ComponentState& state, long index);

// True in outPresent when a token is present in the selected slot.
[[nodiscard]] long tokenDetect(ComponentState& state, bool& outPresent);

// Serial number of the selected token (blanks trimmed).
[[nodiscard]] long tokenSerialNumber(ComponentState& state, std::string& outSerial);

// The PKCS#11 function list (CK_FUNCTION_LIST*) and slot of the selected
// token, for object searches of other parts of the component.
[[nodiscard]] long tokenSelectedSlot(ComponentState& state, void*& outFunctionList,
                                     unsigned long& outSlot);

// ---------------------------------------------------------------------------
// PIN
// ---------------------------------------------------------------------------

// A real C_Login with pin (UTF-8 bytes): any earlier login on the token is
// ended first, so a wrong PIN is always refused even while another object or
// session is logged in. On success the object holds the login.
// kTokenPinIncorrect / kTokenPinLocked / kTokenPinBad otherwise.
// The caller wipes pin.
[[nodiscard]] long tokenLogin(ComponentState& state, const std::string& pin);

// Makes sure the object may use the token's keys: a non-empty pin logs in
// (tokenLogin); an empty pin needs a login this object made and the token
// still holds (kTokenPinRequired otherwise).
[[nodiscard]] long tokenEnsureLogin(ComponentState& state, const std::string& optionalPin);

// Tries left as the token reports them through its flags: 0 locked, 1 final
// try, 2 count low (a wrong PIN was given), 3 no failure reported.
[[nodiscard]] long tokenPinTriesLeft(ComponentState& state, long& outTries);

// ---------------------------------------------------------------------------
// Certificates and keys
// ---------------------------------------------------------------------------

struct TokenCertificate {
    std::string der;   // the certificate
    std::string id;    // CKA_ID (bytes)
    std::string label; // CKA_LABEL
    long usage = 0;    // kKeyUsageSign | kKeyUsageEncrypt as the certificate allows
    long kind = 0;     // kKeyKindRsa or kKeyKindEc (0 other)
};

// Usage and kind of a certificate as the flags above name them.
void tokenCertificateClass(gnutls_x509_crt_t crt, long& outUsage, long& outKind);

// Certificates of the selected token that fit flags (usage and kind bits; 0
// = all), ordered by label then id. Public objects: no login needed.
[[nodiscard]] long tokenListCertificates(ComponentState& state, long flags,
                                         std::vector<TokenCertificate>& outList);

// A private key of the selected token with its certificate. Owned: release
// with tokenKeyFree. Usable while the token lock is held and the object's
// login lasts: use it within the method and free it before returning.
struct TokenKey {
    gnutls_privkey_t key = nullptr;
    gnutls_x509_crt_t crt = nullptr;
    std::string certDer;
    long kind = 0;
};
void tokenKeyFree(TokenKey& key);

// Finds the first certificate fitting flags (usage bits default to
// defaultUsage when flags has none), logs in as tokenEnsureLogin does with
// optionalPin, and opens its private key. Caches the certificate.
[[nodiscard]] long tokenOpenKey(ComponentState& state, long flags, long defaultUsage,
                                const std::string& optionalPin, TokenKey& outKey);

// The same for the token key that belongs to a given certificate (DER).
[[nodiscard]] long tokenOpenKeyForCertificate(ComponentState& state, const std::string& certDer,
                                              const std::string& optionalPin, TokenKey& outKey);

// ---------------------------------------------------------------------------
// Certificate texts from pages
// ---------------------------------------------------------------------------

// Parses a certificate given as PEM or as Base64 of its DER; an empty text
// means the object's cached certificate. outDer gets the DER.
[[nodiscard]] long tokenCertificateFromText(ComponentState& state, const std::string& text,
                                            std::string& outDer);
