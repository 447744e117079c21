#!/usr/bin/env node
// A feed client on Node's ws library (installed into bench/feed/node_modules
// by the test command) that answers a replay as a feed holding every value
// does, for the end-to-end tests:
//
//   node ws_snapshot_feed.js URL FIELDS GO_FILE FRAGMENTS
//
// Once it has been asked for FIELDS fields, it sends the value
// "s:<item>-0123456789ABCDEFGHIJ" of every one in one JSON array message.
// Once the file GO_FILE exists, it sends "f:<item>-..." of the same fields in one more array message, in
// FRAGMENTS fragments (ws.send with fin false). It prints what it sends,
// stays connected until SIGTERM, and ends with exit code 1 if the program
// closes the connection.
"use strict";

const fs = require("fs");
const path = require("path");
const WebSocket = require(path.join(__dirname, "..", "..", "..", "bench", "feed", "node_modules", "ws"));

const [url, fieldsText, goFile, fragmentsText] = process.argv.slice(2);
const fields = Number(fieldsText);
const fragments = Number(fragmentsText);
const items = [];

// Values as long as a price with its time stamp and venue, about 60 bytes an update.
function batch(prefix) {
    return JSON.stringify(items.map((item) => ({key: item, value: prefix + item + "-0123456789ABCDEFGHIJ"})));
}

const ws = new WebSocket(url, {perMessageDeflate: false});
let stopping = false;
process.on("SIGTERM", () => {
    stopping = true;
    ws.close(1000);
    setTimeout(() => process.exit(0), 500);
});
ws.on("error", (e) => {
    console.error("ws_snapshot_feed: " + e.message);
    process.exit(1);
});
ws.on("close", (code) => {
    if (!stopping) {
        console.error("ws_snapshot_feed: the program closed the connection with " + code);
        process.exit(1);
    }
});
function sendFragmented() {
    if (!fs.existsSync(goFile)) {
        setTimeout(sendFragmented, 100);
        return;
    }
    const message = batch("f:");
    const size = Math.ceil(message.length / fragments);
    for (let at = 0; at < message.length; at += size)
        ws.send(message.slice(at, at + size), {fin: at + size >= message.length});
    console.log("fragmented " + message.length + " bytes in " + fragments + " fragments");
}

ws.on("message", (data) => {
    items.push(JSON.parse(data.toString()).request);
    if (items.length === fields) {
        const message = batch("s:");
        ws.send(message);
        console.log("snapshot " + message.length + " bytes");
        sendFragmented();
    }
});
