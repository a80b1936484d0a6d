// The demo page: every card calls the service through kestrova.js.
//
// URL parameters:
//   ports=a,b,c   the service's ports when it was started with KESTROVA_PORTS
//   auto=1        runs every card in order (tests and screenshots); with
//                 pin=..., text=..., key=rsa|ec|any, badpin=... (a wrong PIN to
//                 try first). The outcome is written as JSON into #auto-report
//                 and <html data-auto="done|failed">. A real page never puts a
//                 PIN into its URL; the demo does so only in this mode, for the
//                 demo token.

import {
    KestrovaClient, KestrovaError, DEFAULT_PORTS, splitList,
} from "../kestrova.js";

const $ = (id) => document.getElementById(id);
const params = new URLSearchParams(location.search);
const ports = KestrovaClient.portsFromSearch(location.search) ?? [...DEFAULT_PORTS];

const client = new KestrovaClient({
    ports,
    onCall: ({ functionName, port, result, error, ms }) => logActivity(functionName, port, result, error, ms),
});

// --- small view helpers ----------------------------------------------------------

function show(id, kind, text) {
    const box = $(id);
    box.hidden = false;
    box.className = `message ${kind}`;
    box.textContent = text;
}

function showError(id, error) {
    const box = $(id);
    box.hidden = false;
    box.className = "message error";
    box.textContent = "";
    if (error instanceof KestrovaError && /^\d+$/.test(String(error.code))) {
        const code = document.createElement("span");
        code.className = "code";
        code.textContent = `Error ${error.code}${error.detail ? ` / ${error.detail}` : ""}: `;
        box.append(code, error.message);
    } else {
        box.append(error && error.message ? error.message : String(error));
    }
    if (error instanceof KestrovaError && (error.code === "unreachable" || error.code === "blocked")) {
        setStatus("err", "Service not reachable");
    }
}

function setStatus(kind, text) {
    const pill = $("status");
    pill.className = `pill pill-${kind}`;
    pill.textContent = text;
}

function logActivity(functionName, port, result, error, ms) {
    const item = document.createElement("li");
    const time = new Date().toLocaleTimeString();
    const outcome = error ? `error ${error.code}${error.detail ? "/" + error.detail : ""}` : `result ${result}`;
    item.textContent = `${time}  ${functionName}  :${port ?? "-"}  ${outcome}  (${ms} ms)`;
    if (error) item.className = "bad";
    $("activity").prepend(item);
}

// Runs a button's work with the button disabled meanwhile.
async function busy(buttonId, work) {
    const button = $(buttonId);
    button.disabled = true;
    try {
        return await work();
    } finally {
        button.disabled = false;
    }
}

function pem(base64Der) {
    const lines = base64Der.replace(/\s+/g, "").match(/.{1,64}/g) ?? [];
    return `-----BEGIN CERTIFICATE-----\n${lines.join("\n")}\n-----END CERTIFICATE-----\n`;
}

function setDownload(id, bytesOrText, type) {
    const link = $(id);
    if (link.href && link.href.startsWith("blob:")) URL.revokeObjectURL(link.href);
    link.href = URL.createObjectURL(new Blob([bytesOrText], { type }));
}

function base64Bytes(text) {
    const binary = atob(text.replace(/\s+/g, ""));
    const bytes = new Uint8Array(binary.length);
    for (let i = 0; i < binary.length; i++) bytes[i] = binary.charCodeAt(i);
    return bytes;
}

// The CN of a distinguished name as the component writes it ("CN=...,O=...").
function commonName(dn) {
    for (const part of dn.split(/(?<!\\),/)) {
        const m = /^\s*CN=(.*)$/i.exec(part);
        if (m) return m[1].replace(/\\(.)/g, "$1");
    }
    return dn;
}

// --- 1. the service ----------------------------------------------------------------

async function detectService() {
    $("msg-service").hidden = true;
    setStatus("busy", "Looking for the service…");
    try {
        const answer = await client.echo();
        $("fact-address").textContent = `https://localhost:${client.port}/`;
        $("fact-server").textContent = answer.ServerVersion ?? "?";
        $("fact-lib").textContent = answer.LibVersion ?? "?";
        $("fact-session").textContent = client.sessionId ?? "?";
        $("service-facts").hidden = false;
        setStatus("ok", `Service ${answer.ServerVersion ?? ""} on port ${client.port}`);
        return { port: client.port, serverVersion: answer.ServerVersion, libVersion: answer.LibVersion, sessionId: client.sessionId };
    } catch (error) {
        $("service-facts").hidden = true;
        showError("msg-service", error);
        if (error.code === "unreachable") {
            const box = $("msg-service");
            box.append("\n\nChecklist: is `make run` still running? Did you import the service's root certificate " +
                "into this browser (README, \"First signature\")? Open " +
                `https://localhost:${ports[0]}/ in a tab: a certificate warning there means the root is not trusted yet.`);
        }
        throw error;
    }
}

// Opens the session first when none is open, so each card works on its own.
async function ensureSession() {
    if (!client.sessionId) await detectService();
}

// --- 2. certificates ------------------------------------------------------------------

async function listCertificates() {
    $("msg-certs").hidden = true;
    const table = $("cert-table");
    const body = table.querySelector("tbody");
    body.textContent = "";
    try {
        await ensureSession();
        const list = splitList((await client.call("GPKI_EnumCerts", { iFlags: 0 })).result);
        const certs = [];
        for (const strCert of list) {
            const field = async (name) => (await client.call(name, { strCert, iFlags: 0 })).result ?? "";
            certs.push({
                subject: await field("CAPICertGetSubject"),
                issuer: await field("CAPICertGetIssuer"),
                notBefore: await field("CAPICertGetNotBefore"),
                notAfter: await field("CAPICertGetNotAfter"),
                serial: await field("CAPICertGetSerialNumber"),
                certificate: strCert,
            });
        }
        certs.forEach((c, i) => {
            const row = body.insertRow();
            const cells = [String(i + 1), c.subject, c.issuer, c.notBefore, c.notAfter, c.serial];
            cells.forEach((text, k) => {
                const cell = row.insertCell();
                if (k === 1 || k === 2) {
                    // The common name first, the whole name below it.
                    cell.className = "dn";
                    const name = document.createElement("div");
                    name.className = "cn";
                    name.textContent = commonName(text);
                    const full = document.createElement("div");
                    full.className = "full";
                    full.textContent = text;
                    cell.append(name, full);
                } else {
                    cell.textContent = text;
                }
                if (k === 5) cell.className = "mono";
            });
        });
        table.hidden = certs.length === 0;
        if (certs.length === 0) show("msg-certs", "info", "The token holds no certificate (or no token is present).");
        else show("msg-certs", "ok", `${certs.length} certificate${certs.length === 1 ? "" : "s"} on the token.`);
        return certs;
    } catch (error) {
        table.hidden = true;
        showError("msg-certs", error);
        throw error;
    }
}

// --- 3. PIN ----------------------------------------------------------------------------

function pinValue() {
    return $("pin").value;
}

async function verifyPin(pin = pinValue()) {
    $("msg-pin").hidden = true;
    try {
        if (!pin) throw new KestrovaError("argument", "Enter the token's PIN first.");
        await ensureSession();
        const answer = await client.call("GPKI_VerifyPIN", { bPIN: pin, iFlags: 0 });
        show("msg-pin", "ok", "PIN accepted by the token.");
        return { result: answer.result };
    } catch (error) {
        showError("msg-pin", error);
        if (error.detail === "63008") {
            $("msg-pin").append("\nCheck the PIN and try again; the token counts wrong tries.");
        }
        throw error;
    }
}

// --- 4. signing --------------------------------------------------------------------------

async function sign() {
    $("msg-sign").hidden = true;
    $("sign-output").hidden = true;
    const text = $("sign-text").value;
    const format = $("sign-format").value;
    const iFlags = Number($("sign-key").value);
    const iHashFlag = Number($("sign-hash").value);
    const hashName = { 256: "sha256", 384: "sha384", 512: "sha512" }[iHashFlag];
    try {
        const pin = pinValue();
        if (!pin) throw new KestrovaError("argument", "Enter the token's PIN (card 3) first.");
        await ensureSession();
        const functionName = format === "cms" ? "GPKI_SignData" : "GPKI_PureSign";
        const answer = await client.call(functionName, {
            sOptPIN: pin, sData: text, signcodepage: "UTF-8", iFlags, iHashFlag,
        });
        const signature = answer.result ?? "";
        // The certificate of the key just used.
        const certificate = (await client.call("GPKI_GetCachedCert")).result ?? "";
        $("sign-result").value = signature;
        $("sign-cert").value = certificate ? pem(certificate) : "";
        setDownload("dl-data", new TextEncoder().encode(text), "text/plain");
        setDownload("dl-sig", base64Bytes(signature), "application/octet-stream");
        setDownload("dl-cert", pem(certificate), "application/x-pem-file");
        const sigName = format === "cms" ? "signature.p7s" : "signature.bin";
        $("dl-sig").download = sigName;
        $("verify-hint").textContent = format === "cms"
            ? `Check it with OpenSSL: openssl cms -verify -binary -inform DER -in ${sigName} -noverify -out /dev/stdout ` +
              "(the signed text comes out; -noverify skips the chain, use -CAfile with the token's authority instead)."
            : `Check it with OpenSSL: openssl x509 -in signer.pem -pubkey -noout > signer.pub && ` +
              `openssl dgst -${hashName} -verify signer.pub -signature ${sigName} data.txt`;
        $("sign-output").hidden = false;
        show("msg-sign", "ok", `Signed ${new TextEncoder().encode(text).length} bytes with ${functionName}.`);
        return { functionName, signature, certificate, data: text, hash: hashName, iFlags };
    } catch (error) {
        showError("msg-sign", error);
        throw error;
    }
}

// --- 5. shared value ------------------------------------------------------------------------

async function storeValue() {
    $("msg-value").hidden = true;
    try {
        await ensureSession();
        const answer = await client.call("setKestrovaValue", {
            channel: $("value-channel").value,
            domain_list: $("value-sites").value,
            timeout: $("value-timeout").value || "0",
            value: $("value-text").value,
        });
        show("msg-value", "ok", `Stored under "${$("value-channel").value}".`);
        return { result: answer.result };
    } catch (error) {
        showError("msg-value", error);
        throw error;
    }
}

async function readValue() {
    $("msg-value").hidden = true;
    try {
        await ensureSession();
        const answer = await client.call("getKestrovaValue", { channel: $("value-channel").value });
        const value = answer.result ?? "";
        if (value === "") {
            show("msg-value", "info", "Nothing to read: the channel is not stored, this site is not among the sites " +
                "allowed to read it, or the value has timed out.");
        } else {
            show("msg-value", "ok", `Read back: ${value}`);
        }
        return { value };
    } catch (error) {
        showError("msg-value", error);
        throw error;
    }
}

// --- 6. session ----------------------------------------------------------------------------------

async function endSession() {
    try {
        const outcome = await client.release();
        $("fact-session").textContent = "(ended)";
        show("msg-session", outcome.released ? "ok" : "info",
            outcome.released ? "Session ended; the service released the adapter." : "No session was open.");
        setStatus("idle", "Session ended");
        return outcome;
    } catch (error) {
        showError("msg-session", error);
        throw error;
    }
}

// --- wiring ------------------------------------------------------------------------------------------

function quiet(work) {
    // Errors are already on the page; the console need not repeat them.
    return () => work().catch(() => undefined);
}

$("port-list").textContent = `localhost:${ports.join(", ")}`;
$("value-sites").value = location.hostname;
$("btn-echo").addEventListener("click", quiet(() => busy("btn-echo", detectService)));
$("btn-certs").addEventListener("click", quiet(() => busy("btn-certs", listCertificates)));
$("btn-pin").addEventListener("click", quiet(() => busy("btn-pin", () => verifyPin())));
$("btn-sign").addEventListener("click", quiet(() => busy("btn-sign", sign)));
$("btn-store").addEventListener("click", quiet(() => busy("btn-store", storeValue)));
$("btn-read").addEventListener("click", quiet(() => busy("btn-read", readValue)));
$("btn-release").addEventListener("click", quiet(() => busy("btn-release", endSession)));
$("pin").addEventListener("keydown", (e) => { if (e.key === "Enter") $("btn-pin").click(); });

// A page that goes away gives its adapter copy back.
addEventListener("pagehide", () => {
    if (client.sessionId) client.release({ force: true, keepalive: true }).catch(() => undefined);
});

// --- automatic run -----------------------------------------------------------------------------------

async function step(report, name, work) {
    try {
        report[name] = { ok: true, ...(await work()) };
    } catch (error) {
        report[name] = {
            ok: false,
            code: error.code ?? null,
            detail: error.detail ?? null,
            message: error.message ?? String(error),
        };
    }
    return report[name].ok;
}

async function autoRun() {
    const report = { origin: location.origin, ports };
    document.documentElement.dataset.auto = "running";
    const keys = { rsa: "16", ec: "32", any: "0" };
    if (params.get("text") !== null) $("sign-text").value = params.get("text");
    $("sign-key").value = keys[params.get("key") ?? "rsa"] ?? "16";
    if (params.get("hash")) $("sign-hash").value = params.get("hash");
    try {
        if (!(await step(report, "echo", detectService))) return;
        await step(report, "certificates", async () => ({ list: await listCertificates() }));
        if (params.get("badpin") !== null) {
            $("pin").value = params.get("badpin");
            await step(report, "badPin", () => verifyPin());
        }
        $("pin").value = params.get("pin") ?? "";
        await step(report, "pin", () => verifyPin());
        // The raw signature last: it stays on screen, as in the walkthrough.
        $("sign-format").value = "cms";
        await step(report, "signData", sign);
        $("sign-format").value = "pure";
        await step(report, "pureSign", sign);
        $("pin").value = "";
        // Runs of ">" and "?" put "+" and "/" into the Base64 of the call.
        $("value-text").value = `Shared ✓ 王小明 >>>>>????? from ${location.host}`;
        await step(report, "storeValue", storeValue);
        await step(report, "readValue", readValue);
        report.expectedValue = $("value-text").value;
        if (params.get("release") !== "0") await step(report, "release", endSession);
    } finally {
        const out = $("auto-report");
        out.textContent = JSON.stringify(report);
        // A wrong PIN is meant to fail; every other step must succeed.
        const steps = Object.entries(report).filter(([, v]) => v && typeof v === "object" && "ok" in v);
        const sound = steps.every(([name, v]) => (name === "badPin" ? !v.ok : v.ok));
        document.documentElement.dataset.auto = sound ? "done" : "failed";
    }
}

if (params.get("auto") === "1") autoRun();
