#!/usr/bin/env node
// Checks a WARC file (.warc.gz) or a WACZ package (.wacz) as a replay tool would read it:
//
//   node scripts/archive-verify.mjs FILE
//
// Every record is parsed with warcio.js's WARCParser (installed on first use into
// $XDG_CACHE_HOME/pagestow-checks/npm, or ~/.cache/pagestow-checks/npm). warcio does not check
// digests, so every WARC-Block-Digest and WARC-Payload-Digest is recomputed here (sha1, base32);
// every request's WARC-Concurrent-To must name a response or revisit of the same address, and every
// revisit's WARC-Refers-To a record with the same payload digest. For a package, the sha256 and size
// of each file named in datapackage.json, the hash in datapackage-digest.json, and each index line
// (its offset and length must hold one gzip member with one record of that address) are checked too.
// Prints the records counted by type and every mismatch; exit status 1 on any mismatch or parse
// error, 2 for a usage error.

import { execFileSync } from "node:child_process";
import crypto from "node:crypto";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { pathToFileURL } from "node:url";
import { pipeline } from "node:stream/promises";
import { Writable } from "node:stream";
import zlib from "node:zlib";

const problems = [];
const problem = (text) => {
    problems.push(text);
    console.log(`mismatch: ${text}`);
};

async function loadWarcio() {
    const cache = process.env.XDG_CACHE_HOME || path.join(os.homedir(), ".cache");
    const prefix = path.join(cache, "pagestow-checks", "npm");
    const entry = path.join(prefix, "node_modules", "warcio", "dist", "index.js");
    if (!fs.existsSync(entry)) {
        fs.mkdirSync(prefix, { recursive: true });
        console.error(`installing warcio into ${prefix}`);
        execFileSync("npm", ["install", "--prefix", prefix, "--no-audit", "--no-fund", "warcio"], {
            stdio: ["ignore", process.stderr, process.stderr],
        });
    }
    return import(pathToFileURL(entry).href);
}

const kBase32 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
function base32(bytes) {
    let out = "";
    let buffer = 0;
    let bits = 0;
    for (const byte of bytes) {
        buffer = ((buffer << 8) | byte) & 0xffff;
        bits += 8;
        while (bits >= 5) {
            out += kBase32[(buffer >> (bits - 5)) & 31];
            bits -= 5;
        }
    }
    if (bits > 0) out += kBase32[(buffer << (5 - bits)) & 31];
    while (out.length % 8) out += "=";
    return out;
}

function digestMatches(field, hash) {
    const [algorithm, value] = field.split(":", 2);
    if (algorithm.toLowerCase() !== "sha1") return null; // another algorithm: not checked here
    return value.toUpperCase() === base32(hash.digest());
}

// The records of a WARC stream, with their digests recomputed.
async function checkWarc(warcio, stream, where) {
    const parser = new warcio.WARCParser(stream, { parseHttp: false, keepHeadersCase: true });
    const counts = {};
    const records = new Map();
    const requests = [];
    const revisits = [];
    const offsets = new Map();
    try {
        for await (const record of parser) {
            const type = record.warcType;
            const uri = record.warcTargetURI || "";
            const label = `${type} ${uri} at ${where} offset ${parser.offset}`;
            counts[type] = (counts[type] || 0) + 1;
            offsets.set(parser.offset, uri);
            const block = crypto.createHash("sha1");
            const payload = crypto.createHash("sha1");
            const http = type === "response" || type === "revisit" || type === "request";
            let head = http ? Buffer.alloc(0) : null;
            for await (const chunk of record.reader) {
                block.update(chunk);
                if (head === null) {
                    payload.update(chunk);
                    continue;
                }
                head = Buffer.concat([head, Buffer.from(chunk)]);
                const end = head.indexOf("\r\n\r\n");
                if (end >= 0) {
                    payload.update(head.subarray(end + 4));
                    head = null;
                }
            }
            if (head !== null && head.length > 0 && type !== "request") problem(`${label}: no end of the HTTP head`);
            const blockField = record.warcHeader("WARC-Block-Digest");
            if (blockField && digestMatches(blockField, block) === false) problem(`${label}: WARC-Block-Digest differs`);
            const payloadField = record.warcHeader("WARC-Payload-Digest");
            if (payloadField && type !== "revisit" && digestMatches(payloadField, payload) === false)
                problem(`${label}: WARC-Payload-Digest differs`);
            const id = record.warcHeader("WARC-Record-ID");
            if (!id) problem(`${label}: no WARC-Record-ID`);
            records.set(id, { type, uri, payloadField });
            if (type === "request") requests.push({ label, uri, to: record.warcHeader("WARC-Concurrent-To") });
            if (type === "revisit") revisits.push({ label, payloadField, to: record.warcHeader("WARC-Refers-To") });
        }
    } catch (error) {
        problem(`cannot parse ${where}: ${error.message}`);
    }
    for (const request of requests) {
        const response = records.get(request.to);
        if (!response || (response.type !== "response" && response.type !== "revisit") || response.uri !== request.uri)
            problem(`${request.label}: WARC-Concurrent-To names no response of that address`);
    }
    for (const revisit of revisits) {
        const original = records.get(revisit.to);
        if (revisit.to && (!original || original.payloadField !== revisit.payloadField))
            problem(`${revisit.label}: WARC-Refers-To names no record with that payload digest`);
    }
    return { counts, total: Object.values(counts).reduce((a, b) => a + b, 0), offsets };
}

// warcio stops quietly at a cut gzip member; the whole stream is inflated once more to see one.
async function checkGzipEnd(stream, where) {
    const sink = new Writable({ write: (chunk, encoding, done) => done() });
    try {
        await pipeline(stream, zlib.createGunzip(), sink);
    } catch (error) {
        problem(`${where} does not end with a whole gzip member: ${error.message}`);
    }
}

// The entries of a zip file: name, method, data offset and size (Zip64 included).
function zipEntries(fd) {
    const size = fs.fstatSync(fd).size;
    const tailSize = Math.min(size, 65557 + 20);
    const tail = Buffer.alloc(tailSize);
    fs.readSync(fd, tail, 0, tailSize, size - tailSize);
    const eocd = tail.lastIndexOf(Buffer.from([0x50, 0x4b, 0x05, 0x06]));
    if (eocd < 0) throw new Error("no end of central directory");
    let count = tail.readUInt16LE(eocd + 10);
    let dirSize = tail.readUInt32LE(eocd + 12);
    let dirStart = tail.readUInt32LE(eocd + 16);
    if (eocd >= 20 && tail.readUInt32LE(eocd - 20) === 0x07064b50) {
        const record = Buffer.alloc(56);
        fs.readSync(fd, record, 0, 56, Number(tail.readBigUInt64LE(eocd - 12)));
        count = Number(record.readBigUInt64LE(32));
        dirSize = Number(record.readBigUInt64LE(40));
        dirStart = Number(record.readBigUInt64LE(48));
    }
    const dir = Buffer.alloc(dirSize);
    fs.readSync(fd, dir, 0, dirSize, dirStart);
    const entries = new Map();
    for (let at = 0, i = 0; i < count; ++i) {
        if (dir.readUInt32LE(at) !== 0x02014b50) throw new Error("a broken central directory");
        const method = dir.readUInt16LE(at + 10);
        let compressed = dir.readUInt32LE(at + 20);
        let plain = dir.readUInt32LE(at + 24);
        const nameLength = dir.readUInt16LE(at + 28);
        const extraLength = dir.readUInt16LE(at + 30);
        const commentLength = dir.readUInt16LE(at + 32);
        let local = dir.readUInt32LE(at + 42);
        const name = dir.toString("utf8", at + 46, at + 46 + nameLength);
        const extra = dir.subarray(at + 46 + nameLength, at + 46 + nameLength + extraLength);
        for (let e = 0; e + 4 <= extra.length; e += 4 + extra.readUInt16LE(e + 2)) {
            if (extra.readUInt16LE(e) !== 1) continue;
            let field = e + 4;
            const take = () => Number(extra.readBigUInt64LE((field += 8) - 8));
            if (plain === 0xffffffff) plain = take();
            if (compressed === 0xffffffff) compressed = take();
            if (local === 0xffffffff) local = take();
        }
        const header = Buffer.alloc(30);
        fs.readSync(fd, header, 0, 30, local);
        const dataStart = local + 30 + header.readUInt16LE(26) + header.readUInt16LE(28);
        entries.set(name, { method, compressed, plain, dataStart });
        at += 46 + nameLength + extraLength + commentLength;
    }
    return entries;
}

function readEntry(fd, entry) {
    const bytes = Buffer.alloc(entry.compressed);
    fs.readSync(fd, bytes, 0, entry.compressed, entry.dataStart);
    return entry.method === 8 ? zlib.inflateRawSync(bytes) : bytes;
}

function sha256OfRange(file, start, length) {
    const hash = crypto.createHash("sha256");
    const fd = fs.openSync(file, "r");
    const buffer = Buffer.alloc(1 << 20);
    for (let done = 0; done < length; ) {
        const got = fs.readSync(fd, buffer, 0, Math.min(buffer.length, length - done), start + done);
        if (got <= 0) break;
        hash.update(buffer.subarray(0, got));
        done += got;
    }
    fs.closeSync(fd);
    return hash.digest("hex");
}

// One index line: its offset and length hold one gzip member whose record has the line's address.
function checkIndexLine(fd, warcStart, line) {
    const brace = line.indexOf("{");
    const json = JSON.parse(line.slice(brace));
    const offset = Number(json.offset);
    const length = Number(json.length);
    const member = Buffer.alloc(length);
    fs.readSync(fd, member, 0, length, warcStart + offset);
    let text;
    try {
        text = zlib.gunzipSync(member);
    } catch (error) {
        return problem(`index line for ${json.url}: no gzip member at ${offset}+${length}: ${error.message}`);
    }
    const headEnd = text.indexOf("\r\n\r\n");
    const head = text.toString("utf8", 0, headEnd);
    const field = (name) => {
        const match = head.match(new RegExp(`^${name}:[ \\t]*(.*)$`, "mi"));
        return match ? match[1].trim() : "";
    };
    if (field("WARC-Target-URI") !== json.url) problem(`index line for ${json.url}: the record at ${offset} is of ${field("WARC-Target-URI")}`);
    if (text.length !== headEnd + 4 + Number(field("Content-Length")) + 4)
        problem(`index line for ${json.url}: ${offset}+${length} is not exactly one record`);
}

async function main() {
    const file = process.argv[2];
    if (!file || process.argv.length > 3) {
        console.error("usage: archive-verify.mjs FILE.warc.gz|FILE.wacz");
        process.exit(2);
    }
    const warcio = await loadWarcio();
    let result;
    if (file.endsWith(".wacz")) {
        const fd = fs.openSync(file, "r");
        const entries = zipEntries(fd);
        const warcEntry = entries.get("archive/data.warc.gz");
        if (!warcEntry) throw new Error("no archive/data.warc.gz");
        if (warcEntry.method !== 0) problem("archive/data.warc.gz is not stored");
        const range = { start: warcEntry.dataStart, end: warcEntry.dataStart + warcEntry.compressed - 1 };
        result = await checkWarc(warcio, fs.createReadStream(file, range), "archive/data.warc.gz");
        await checkGzipEnd(fs.createReadStream(file, range), "archive/data.warc.gz");
        for (const name of ["datapackage.json", "datapackage-digest.json", "indexes/index.cdxj"])
            if (!entries.has(name)) throw new Error(`no ${name}`);
        const packageText = readEntry(fd, entries.get("datapackage.json"));
        const digest = JSON.parse(readEntry(fd, entries.get("datapackage-digest.json")));
        if (digest.hash !== "sha256:" + crypto.createHash("sha256").update(packageText).digest("hex"))
            problem("datapackage-digest.json: the hash of datapackage.json differs");
        for (const resource of JSON.parse(packageText).resources) {
            const entry = entries.get(resource.path);
            if (!entry) {
                problem(`datapackage.json names ${resource.path}, which the package lacks`);
                continue;
            }
            const hash = entry.method === 0 ? sha256OfRange(file, entry.dataStart, entry.compressed)
                : crypto.createHash("sha256").update(readEntry(fd, entry)).digest("hex");
            if (resource.hash !== "sha256:" + hash) problem(`datapackage.json: the hash of ${resource.path} differs`);
            if (resource.bytes !== entry.plain) problem(`datapackage.json: the size of ${resource.path} differs`);
        }
        const index = readEntry(fd, entries.get("indexes/index.cdxj")).toString("utf8").split("\n").filter((line) => line);
        for (const line of index) checkIndexLine(fd, warcEntry.dataStart, line);
        console.log(`index lines: ${index.length}`);
        fs.closeSync(fd);
    } else {
        result = await checkWarc(warcio, fs.createReadStream(file), file);
        await checkGzipEnd(fs.createReadStream(file), file);
    }
    for (const [type, count] of Object.entries(result.counts).sort()) console.log(`${type}: ${count}`);
    console.log(`records: ${result.total}, mismatches: ${problems.length}`);
    process.exit(problems.length ? 1 : 0);
}

main().catch((error) => {
    console.log(`error: ${error.message}`);
    process.exit(1);
});
