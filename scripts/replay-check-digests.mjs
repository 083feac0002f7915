// Reads every record of WARC files with warcio's WARCParser and checks their digests, for
// scripts/replay-check.py (warcio parses records but does not check what they declare).
//
//     node replay-check-digests.mjs WARCIO_INDEX_JS FILE.warc.gz...
//
// WARCIO_INDEX_JS is warcio's dist/index.js, installed by the check into its npm cache folder.
// Prints one JSON line per file: {file, records, types, blockChecked, payloadChecked, failures,
// notes}. WARC-Block-Digest covers the whole block; WARC-Payload-Digest covers the body after the
// HTTP head of a request or response (as sent; when the head says chunked and the sent bytes do not
// match, the body without its chunk framing is tried and named in a note), the whole block of
// other records, and for a revisit it names the payload of an earlier record, which must be in the
// file. Digests are "ALGORITHM:VALUE", the value in base32 (as WARC writers use) or hex.
import crypto from "node:crypto";
import fs from "node:fs";
import { pathToFileURL } from "node:url";

const [warcioPath, ...files] = process.argv.slice(2);
const { WARCParser } = await import(pathToFileURL(warcioPath).href);

const kBase32 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";

function Base32(bytes) {
    let bits = 0;
    let value = 0;
    let out = "";
    for (const byte of bytes) {
        value = (value << 8) | byte;
        bits += 8;
        while (bits >= 5) {
            out += kBase32[(value >>> (bits - 5)) & 31];
            bits -= 5;
        }
    }
    if (bits > 0) out += kBase32[(value << (5 - bits)) & 31];
    return out;
}

// Whether data has the digest declared ("sha1:BASE32"), or null when the algorithm is unknown.
function Matches(declared, data) {
    const at = declared.indexOf(":");
    const algorithm = declared.slice(0, at).toLowerCase().replace("-", "");
    const value = declared.slice(at + 1).trim();
    if (at < 0 || !crypto.getHashes().includes(algorithm)) return null;
    const digest = crypto.createHash(algorithm).update(data).digest();
    return value.replace(/=+$/, "").toUpperCase() === Base32(digest) || value.toLowerCase() === digest.toString("hex");
}

function HeadEnd(block) {
    const at = block.indexOf("\r\n\r\n");
    return at < 0 ? -1 : at + 4;
}

function Dechunked(body) {
    const parts = [];
    let at = 0;
    for (;;) {
        const lineEnd = body.indexOf("\r\n", at);
        if (lineEnd < 0) return null;
        const size = parseInt(body.subarray(at, lineEnd).toString("latin1").split(";")[0], 16);
        if (Number.isNaN(size)) return null;
        if (size === 0) return Buffer.concat(parts);
        parts.push(body.subarray(lineEnd + 2, lineEnd + 2 + size));
        at = lineEnd + 2 + size + 2;
    }
}

async function Verify(file) {
    const result = { file, records: 0, types: {}, blockChecked: 0, payloadChecked: 0, failures: [], notes: [] };
    const payloads = new Set();
    const parser = new WARCParser(fs.createReadStream(file), { parseHttp: false });
    for await (const record of parser) {
        result.records += 1;
        const type = record.warcType;
        result.types[type] = (result.types[type] || 0) + 1;
        const block = Buffer.from(await record.readFully(false));
        const where = `record ${result.records} (${type} ${record.warcTargetURI || record.warcHeader("WARC-Record-ID")})`;
        const blockDigest = record.warcHeader("WARC-Block-Digest");
        if (blockDigest) {
            const good = Matches(blockDigest, block);
            if (good === null) result.notes.push(`${where}: block digest algorithm not known: ${blockDigest}`);
            else if (!good) result.failures.push(`${where}: WARC-Block-Digest ${blockDigest} does not match the block`);
            else result.blockChecked += 1;
        } else if (type !== "warcinfo") {
            result.failures.push(`${where}: no WARC-Block-Digest`);
        }
        const payloadDigest = record.warcHeader("WARC-Payload-Digest");
        if (!payloadDigest) continue;
        if (type === "revisit") {
            if (!payloads.has(payloadDigest.toUpperCase()))
                result.failures.push(`${where}: revisit of payload ${payloadDigest}, which no earlier record holds`);
            else result.payloadChecked += 1;
            continue;
        }
        const http = (record.warcContentType || "").startsWith("application/http");
        let payload = block;
        if (http) {
            const end = HeadEnd(block);
            payload = end < 0 ? Buffer.alloc(0) : block.subarray(end);
        }
        let good = Matches(payloadDigest, payload);
        if (good === false && http && /\r\ntransfer-encoding:[^\r]*chunked/i.test(block.subarray(0, HeadEnd(block)).toString("latin1"))) {
            const plain = Dechunked(payload);
            if (plain && Matches(payloadDigest, plain)) {
                good = true;
                result.notes.push(`${where}: payload digest is of the body without its chunk framing`);
            }
        }
        if (good === null) result.notes.push(`${where}: payload digest algorithm not known: ${payloadDigest}`);
        else if (!good) result.failures.push(`${where}: WARC-Payload-Digest ${payloadDigest} does not match the payload`);
        else {
            result.payloadChecked += 1;
            payloads.add(payloadDigest.toUpperCase());
        }
    }
    return result;
}

let failed = false;
for (const file of files) {
    let result;
    try {
        result = await Verify(file);
    } catch (error) {
        result = { file, records: 0, failures: [`cannot be read: ${error.message}`], notes: [] };
    }
    failed ||= result.failures.length > 0;
    console.log(JSON.stringify(result));
}
process.exit(failed ? 1 : 0);
