// kestrova.js: the page side of ARDEQKestrova, the local signing service.
//
// A dependency-free ES module. A page imports it, makes one client and calls
// the service's functions by name:
//
//   import { KestrovaClient } from "./kestrova.js";
//   const kestrova = new KestrovaClient();
//   const echo = await kestrova.echo();                 // opens the session
//   const sig = await kestrova.call("GPKI_PureSign", {
//       sOptPIN: pin, sData: "text", signcodepage: "UTF-8", iFlags: 0, iHashFlag: 0 });
//   console.log(sig.result);                            // Base64 signature
//   await kestrova.release();
//
// How a call travels: the call is a flat JSON object; its UTF-8 bytes are
// Base64-encoded and percent-encoded into the form field "Parameter" of an
// application/x-www-form-urlencoded POST to https://localhost:<port>/. The
// answer is a flat JSON object whose values are Base64 of UTF-8 texts. The
// first answer carries "SessionID"; every later call sends it back as
// "SessionId", so it reaches the same private adapter copy in the service.
//
// A form POST is a CORS "simple request": no preflight is needed, and the
// service answers with Access-Control-Allow-Origin set to the page's origin.
// Browsers that guard the loopback address (Chromium's Local Network Access)
// ask the user once per site; call from a user gesture (a click) the first
// time, and expect KestrovaError with code "blocked" when the user declines.

export const DEFAULT_PORTS = Object.freeze([56366, 56386, 56406]);

// The path table entry of the GPKI card adapter: sessions opened with it load
// GpkiCardAdapter.
export const GPKI_ADAPTER_PATH_ID = "5D21A7C94E3B4F08A6C2917E0B4D3F65";

// Result codes of the service and the adapter, and what they mean to a page.
export const RESULT_TEXTS = Object.freeze({
    "61001": "The service could not complete the request (no TLS information, a shared value it cannot decrypt, or an internal allocation failure).",
    "61003": "A number was expected.",
    "61004": "A required text was missing.",
    "61005": "A required key is missing or the function name is unknown.",
    "61009": "The service refused the adapter path.",
    "61011": "The cryptographic component reported an error.",
    "61012": "The service could not tell which site is calling (no Origin or Referer).",
    "61016": "A parameter the function needs is missing.",
    "61019": "The shared value store is full.",
    "61203": "The service is older than this page requires.",
    "61204": "The adapter is older than this page requires.",
    "61902": "The service could not load the adapter library.",
    "61904": "The request did not address the local host.",
    "61905": "The service could not create the cryptographic component.",
    "61906": "The adapter library is not usable (no entry point).",
});

// The component's own outcomes, read with get_lastError after a 61011.
export const COMPONENT_TEXTS = Object.freeze({
    "62001": "a parameter is missing or malformed",
    "62003": "unknown hash selector",
    "62004": "unknown or contradictory flags",
    "62005": "a Base64 parameter does not decode",
    "62006": "the certificate does not parse",
    "62007": "the CMS text does not parse or has no such signer",
    "62008": "the token refused or failed to sign",
    "62009": "the encrypted message could not be built",
    "62010": "the message is not addressed to this token's key",
    "62011": "decryption failed",
    "62012": "the key type cannot be used for this",
    "62013": "the decrypted bytes are not text",
    "62014": "the input is too large",
    "62015": "a multi-part operation was not started",
    "62020": "the XML does not parse",
    "62021": "no signature with that Id in the XML",
    "62022": "the XML signature template lacks a required element",
    "62023": "an XML reference could not be digested",
    "62024": "the signature method does not fit the key",
    "62025": "the template lacks a digest value",
    "63001": "method not supported",
    "63002": "bad argument",
    "63003": "PKCS#11 module not allowed",
    "63004": "PKCS#11 module cannot be loaded",
    "63005": "no token present",
    "63006": "slot index out of range",
    "63007": "PIN required",
    "63008": "PIN incorrect",
    "63009": "PIN locked",
    "63010": "PIN empty or malformed",
    "63011": "no matching certificate on the token",
    "63012": "no private key for the certificate",
    "63013": "certificate cannot be decoded",
    "63014": "the certificate lacks the field",
    "63015": "bad Base64",
    "63016": "unknown code page or text it cannot hold",
    "63017": "unknown hash flag",
    "63018": "key type not supported",
    "63019": "signing failed",
    "63020": "encryption failed",
    "63021": "decryption failed",
    "63022": "input too large",
    "63023": "path outside the allowed folders",
    "63024": "file cannot be read or written",
    "63025": "token error",
    "63026": "out of memory",
});

// The releases answer no "result" of their own; anything there is not theirs.
const BUILT_IN_RELEASES = new Set(["kestrovarelease", "kestrovaforcerelease", "kestrovaclose"]);

// Every session opening must name the oldest service version the page
// accepts, in the service's four-part form.
const DEFAULT_MIN_SERVER_VERSION = "1.0.0.0";

// Values that are the user's documents rather than parameters: the service
// writes every request value into its debug log unless told to hide it.
const DEFAULT_HIDDEN_KEYS = Object.freeze(["sData", "strData", "srcData", "bstrXML", "value"]);

// Upper bound of one call. Signing on a real card can take seconds; a stuck
// call must still end.
const DEFAULT_TIMEOUT_MS = 120000;

// Raised for every failure a page should show. code is the result code text
// ("61011"), or one of "unreachable", "blocked", "timeout", "http", "answer",
// "argument". detail is the component's outcome (e.g. "63008") when known.
export class KestrovaError extends Error {
    constructor(code, message, extra = {}) {
        super(message);
        this.name = "KestrovaError";
        this.code = code;
        this.detail = extra.detail ?? null;
        this.functionName = extra.functionName ?? null;
        this.port = extra.port ?? null;
        this.answer = extra.answer ?? null;
    }
}

// --- encoding ----------------------------------------------------------------

function bytesToBase64(bytes) {
    let binary = "";
    const chunk = 0x8000;
    for (let i = 0; i < bytes.length; i += chunk) {
        binary += String.fromCharCode.apply(null, bytes.subarray(i, i + chunk));
    }
    return btoa(binary);
}

function base64ToBytes(text) {
    const binary = atob(text);
    const bytes = new Uint8Array(binary.length);
    for (let i = 0; i < binary.length; i++) bytes[i] = binary.charCodeAt(i);
    return bytes;
}

// UTF-8 text to Base64 and back.
export function encodeBase64(text) {
    return bytesToBase64(new TextEncoder().encode(text));
}

export function decodeBase64(text) {
    return new TextDecoder("utf-8").decode(base64ToBytes(text));
}

// The call as the service expects it: a flat JSON object of texts. Numbers
// and booleans become texts ("true" and "false" count as 1 and 0 for number
// parameters); nested objects and arrays are refused, the service keeps a
// flat map only.
export function normaliseCall(call) {
    if (call === null || typeof call !== "object" || Array.isArray(call)) {
        throw new KestrovaError("argument", "A call must be an object of key/value pairs.");
    }
    const flat = {};
    for (const [key, value] of Object.entries(call)) {
        if (value === undefined || value === null) continue;
        if (typeof value === "object") {
            throw new KestrovaError("argument", `The value of "${key}" must be a text or a number.`);
        }
        flat[key] = String(value);
    }
    return flat;
}

// The form body of a call: Parameter=<percent-encoded Base64 of the JSON>.
// encodeURIComponent turns "+", "/" and "=" into %2B, %2F and %3D, so form
// decoding cannot turn a "+" of the Base64 text into a blank.
export function encodeCall(call) {
    return "Parameter=" + encodeURIComponent(encodeBase64(JSON.stringify(normaliseCall(call))));
}

// The answer text: a flat JSON object of Base64 values, decoded to texts.
export function decodeAnswer(text) {
    let parsed;
    try {
        parsed = JSON.parse(text);
    } catch (e) {
        throw new KestrovaError("answer", "The service's answer is not JSON.");
    }
    if (parsed === null || typeof parsed !== "object" || Array.isArray(parsed)) {
        throw new KestrovaError("answer", "The service's answer is not a JSON object.");
    }
    const answer = {};
    for (const [key, value] of Object.entries(parsed)) {
        if (typeof value !== "string") {
            answer[key] = value;
            continue;
        }
        try {
            answer[key] = decodeBase64(value);
        } catch (e) {
            throw new KestrovaError("answer", `The answer's value "${key}" is not Base64.`);
        }
    }
    return answer;
}

// A readable text for a result code (and the component's outcome).
export function describeResult(code, detail = null) {
    const base = RESULT_TEXTS[String(code)] ?? `The service answered result ${code}.`;
    if (detail && COMPONENT_TEXTS[String(detail)]) {
        return `${base} (${COMPONENT_TEXTS[String(detail)]}, ${detail})`;
    }
    if (detail && String(detail) !== "0") return `${base} (component code ${detail})`;
    return base;
}

// True when the answer's "result" is one of the service's or adapter's error
// codes rather than the function's own answer. The protocol has one "result"
// for both: a text answer that is exactly such a code (a shared value stored
// as "61019", say) cannot be told from the code and reads as the error.
export function isErrorResult(result) {
    return typeof result === "string" && Object.prototype.hasOwnProperty.call(RESULT_TEXTS, result);
}

// --- the client ----------------------------------------------------------------

export class KestrovaClient {
    // options:
    //   ports       the ports to try, in order (default 56366, 56386, 56406)
    //   host        "localhost" (the service's certificate also names 127.0.0.1)
    //   pathId      the adapter's path identifier (default: the GPKI card adapter)
    //   minServerVersion  the oldest service the page accepts, four parts
    //               (default "1.0.0.0"; the service refuses a call without one)
    //   minLibVersion     the oldest adapter the page accepts (default: any)
    //   timeoutMs   upper bound of one call
    //   explainComponentErrors  after a 61011, ask the component for its
    //               outcome (get_lastError) and put it into the error (default true)
    //   hideKeys    keys whose values the service's debug log must not show:
    //               each present one gets its "<key>_KestrovaHide" flag
    //               (default: the data keys sData, strData, srcData, bstrXML,
    //               value; PIN keys are masked by the service anyway)
    //   onCall      function({functionName, port, result, error, ms}) after each
    //               call, for a page's activity log (never sees parameters)
    //   fetch       the fetch function (default globalThis.fetch)
    constructor(options = {}) {
        this.ports = (options.ports && options.ports.length ? options.ports : DEFAULT_PORTS).map(Number);
        for (const p of this.ports) {
            if (!Number.isInteger(p) || p < 1 || p > 65535) {
                throw new KestrovaError("argument", `Not a port number: ${p}`);
            }
        }
        this.host = options.host ?? "localhost";
        this.pathId = options.pathId ?? GPKI_ADAPTER_PATH_ID;
        this.minServerVersion = options.minServerVersion ?? DEFAULT_MIN_SERVER_VERSION;
        this.minLibVersion = options.minLibVersion ?? null;
        this.timeoutMs = options.timeoutMs ?? DEFAULT_TIMEOUT_MS;
        this.explainComponentErrors = options.explainComponentErrors ?? true;
        this.hideKeys = options.hideKeys ?? DEFAULT_HIDDEN_KEYS;
        this.onCall = options.onCall ?? null;
        this.fetchFunction = options.fetch ?? globalThis.fetch.bind(globalThis);
        this.sessionId = null;
        this.port = null;       // the port that answered last
        this.queue = Promise.resolve();
    }

    // Ports as a page URL may carry them: "?ports=57001,57002,57003".
    static portsFromSearch(search = globalThis.location?.search ?? "") {
        const text = new URLSearchParams(search).get("ports");
        if (!text) return null;
        const ports = text.split(",").map((s) => Number(s.trim())).filter((n) => Number.isInteger(n) && n > 0 && n < 65536);
        return ports.length ? ports : null;
    }

    // One call; answers the decoded answer object. Calls of one client run one
    // after the other, as the session's adapter serves one call at a time.
    // options.keepalive lets the request outlive the page (pagehide handlers).
    call(functionName, parameters = {}, options = {}) {
        const run = () => this.callNow(functionName, parameters, Boolean(options.keepalive));
        const next = this.queue.then(run, run);
        this.queue = next.catch(() => undefined);
        return next;
    }

    // Detects the service and opens the session: answers the versions
    // ({ServerVersion, LibVersion, SessionID, result}).
    async echo(extra = {}) {
        return this.call("KestrovaEcho", extra);
    }

    // Ends the session (the service unloads the session's adapter copy).
    // force: also a session opened in browser mode. keepalive: for pagehide
    // handlers, lets the request outlive the page.
    async release({ force = false, keepalive = false } = {}) {
        if (!this.sessionId) return { released: false };
        const name = force ? "KestrovaForceRelease" : "KestrovaRelease";
        try {
            await this.call(name, {}, { keepalive });
        } finally {
            this.sessionId = null;
        }
        return { released: true };
    }

    async callNow(functionName, parameters, keepalive) {
        if (typeof functionName !== "string" || functionName === "") {
            throw new KestrovaError("argument", "A function name is required.");
        }
        const call = { ...normaliseCall(parameters ?? {}), FunctionName: functionName };
        if (this.pathId && call.PathID === undefined) call.PathID = this.pathId;
        if (this.minServerVersion && call.minServerVersion === undefined) call.minServerVersion = this.minServerVersion;
        if (this.minLibVersion && call.minLibVersion === undefined) call.minLibVersion = this.minLibVersion;
        if (this.sessionId && call.SessionId === undefined) call.SessionId = this.sessionId;
        for (const key of this.hideKeys) {
            if (call[key] !== undefined && call[`${key}_KestrovaHide`] === undefined) call[`${key}_KestrovaHide`] = "true";
        }

        const started = Date.now();
        let answer, port;
        try {
            ({ answer, port } = await this.post(encodeCall(call), functionName, keepalive));
        } catch (error) {
            this.report(functionName, this.port, null, error, started);
            throw error;
        }
        if (answer.SessionID) this.sessionId = answer.SessionID;
        else if (!this.sessionId && call.SessionId) this.sessionId = call.SessionId;

        const result = answer.result;
        if (!BUILT_IN_RELEASES.has(functionName.toLowerCase()) && isErrorResult(result)) {
            let detail = null;
            if (result === "61011" && this.explainComponentErrors && this.sessionId) {
                detail = await this.lastComponentError();
            }
            if (["61009", "61203", "61204", "61902", "61905", "61906"].includes(result)) {
                // The session could not be opened: a later call starts anew.
                this.sessionId = null;
            }
            const error = new KestrovaError(result, describeResult(result, detail), {
                detail, functionName, port, answer,
            });
            this.report(functionName, port, result, error, started);
            throw error;
        }
        this.report(functionName, port, result, null, started);
        return answer;
    }

    // The component's outcome of its last method ("63008" ...), or null.
    async lastComponentError() {
        try {
            const call = { FunctionName: "get_lastError", PathID: this.pathId, SessionId: this.sessionId };
            const { answer } = await this.post(encodeCall(call), "get_lastError", false);
            return answer.result && /^\d+$/.test(answer.result) && answer.result !== "0" ? answer.result : null;
        } catch (e) {
            return null;
        }
    }

    // Posts to the known port, or finds one. A port is changed only while
    // none has answered yet: once the service is found, a failing call is
    // reported and never repeated elsewhere (it may have signed already).
    async post(body, functionName, keepalive) {
        const candidates = this.port ? [this.port] : this.ports;
        let lastError = null;
        for (const port of candidates) {
            try {
                const answer = await this.postTo(port, body, keepalive);
                this.port = port;
                return { answer, port };
            } catch (error) {
                lastError = error;
                if (error instanceof KestrovaError && error.code !== "unreachable") break;
            }
        }
        if (lastError instanceof KestrovaError && lastError.code === "unreachable" &&
            (await loopbackPermission()) === "denied") {
            lastError = new KestrovaError("blocked",
                "This browser does not let the page reach the signing service on this computer: " +
                "the permission to access devices on the local network was denied for this site. " +
                "Allow it in the site settings (the icon left of the address) and try again.",
                { port: lastError.port });
        }
        if (lastError instanceof KestrovaError) {
            lastError.functionName = functionName;
            throw lastError;
        }
        throw new KestrovaError("unreachable", "The signing service did not answer.", { functionName });
    }

    async postTo(port, body, keepalive) {
        const url = `https://${this.host}:${port}/`;
        const controller = typeof AbortController === "function" ? new AbortController() : null;
        const timer = controller ? setTimeout(() => controller.abort(), this.timeoutMs) : null;
        const init = {
            method: "POST",
            headers: { "Content-Type": "application/x-www-form-urlencoded" },
            body,
            mode: "cors",
            credentials: "omit",
            cache: "no-store",
            redirect: "error",
            keepalive,
            // Local Network Access: says that the page means to reach the
            // loopback address; browsers without it ignore the member.
            targetAddressSpace: "loopback",
        };
        if (controller) init.signal = controller.signal;
        let response;
        try {
            response = await this.fetchFunction(url, init);
        } catch (error) {
            if (error && error.name === "AbortError") {
                throw new KestrovaError("timeout", `The signing service did not answer within ${Math.round(this.timeoutMs / 1000)} s.`, { port });
            }
            throw new KestrovaError("unreachable", this.port === port
                ? `The signing service closed the connection without an answer (it stopped, or refused the request, e.g. one that is too large). (https://${this.host}:${port}/)`
                : unreachableText(port), { port });
        } finally {
            if (timer) clearTimeout(timer);
        }
        const text = await response.text();
        if (!response.ok) {
            throw new KestrovaError("http", `The signing service answered HTTP ${response.status}.`, { port });
        }
        return decodeAnswer(text);
    }

    report(functionName, port, result, error, started) {
        if (!this.onCall) return;
        try {
            this.onCall({ functionName, port, result: error ? null : summarise(result), error, ms: Date.now() - started });
        } catch (e) {
            // A page's logger must not break its calls.
        }
    }
}

function summarise(result) {
    if (result === undefined) return "(no result)";
    return result.length > 40 ? `${result.slice(0, 37)}...` : result;
}

function unreachableText(port) {
    return "The signing service did not answer. Is it running, and does this browser trust its certificate? " +
        "If the browser asked for permission to reach devices on the local network, it must be allowed. " +
        `(https://localhost:${port}/)`;
}

// Splits the list answer of GPKI_EnumCerts ("cert;cert;") into its items.
export function splitList(result) {
    return (result ?? "").split(";").filter((s) => s !== "");
}

// What a browser tells about its permission to reach the loopback address:
// "granted", "prompt", "denied", or "unknown" where it cannot tell.
export async function loopbackPermission() {
    if (!globalThis.navigator?.permissions?.query) return "unknown";
    for (const name of ["loopback-network", "local-network-access", "local-network"]) {
        try {
            const status = await navigator.permissions.query({ name });
            return status.state;
        } catch (e) {
            // Not a permission this browser knows; try the next name.
        }
    }
    return "unknown";
}
