#!/usr/bin/env node
// The benchmark's feed client, on Node's ws library so that it is never what
// limits the program. It connects to the program, waits until it has been
// asked for --fields fields, then sends --count updates, one field after the
// other in the order asked. Every value is the time of sending in
// microseconds since 1970, as text, so that the DDE client can age it.
//
//   node feed_client.js flood  --fields N --count U      as fast as the program reads
//   node feed_client.js paced  --fields N --count U --rate R   R updates a second
//   node feed_client.js replay --fields N                only the requests
//   node feed_client.js snapshot --fields N              all N values in one message
//
// flood takes --batches B1,B2,...: one phase per batch size, U updates each
// in messages of that many updates (arrays; 1: one object a message), each
// phase ended by one more update, of the last field (which the phases leave
// alone), with the value -K for the K-th phase, which tells an RTD client
// where the phase ends; --pause MS between phases lets the program absorb
// one phase before the next begins. snapshot
// answers the requests as a feed that holds every value does: one array of
// every field (with --last K, the value -K of the first field at its end).
//
// It prints "connect_us T" when it starts connecting, "asked N in S s" (from
// the start of the connection to the N-th request) and, for flood and paced,
// "sending_us T" (the time stamp of the first update; per phase, "phase B
// sending_us T", and "phase B written_us T" once its last update is in the
// socket) and "sent U in S s" once the last update is handed to the
// socket; then it stays connected until it is sent SIGTERM or SIGINT.
// replay ends after its line. With --last 1, the updates are followed by one
// more, of the value -1 to the first field, which tells an RTD client that
// every update before it has been read. Exit codes: 0 done, 1 connection
// failed or closed early, 64 usage.
"use strict";

const WebSocket = require("ws");

const USAGE = "usage: feed_client.js flood|paced|replay|snapshot --fields N [--count U] [--rate R] [--last 1] " +
    "[--batches B1,B2,...] [--pause MS] [--url URL]";

// Updates per batch handed to ws, and batches allowed to wait unwritten:
// enough that the socket never runs dry, few enough that memory stays flat.
const BATCH = 256;
const BATCHES_IN_FLIGHT = 4;

function parseArgs(argv) {
    const opts = {mode: argv[0], fields: 0, count: 0, rate: 0, last: 0, batches: "", pause: 0,
                  url: "ws://127.0.0.1:8902/"};
    for (let i = 1; i + 1 < argv.length; i += 2) {
        const name = argv[i].replace(/^--/, "");
        if (!(name in opts) || name === "mode")
            usage("unknown option " + argv[i]);
        opts[name] = name === "url" || name === "batches" ? argv[i + 1] : Number(argv[i + 1]);
    }
    if (argv.length % 2 === 0 || !["flood", "paced", "replay", "snapshot"].includes(opts.mode) ||
        !(opts.fields >= 1))
        usage("bad arguments");
    if ((opts.mode === "flood" || opts.mode === "paced") && !(opts.count >= 1))
        usage("--count is needed");
    // Phases, each ended by its marker, whenever --batches is given, also one.
    opts.phased = opts.batches !== "";
    opts.batches = opts.batches ? opts.batches.split(",").map(Number) : [1];
    if (!opts.batches.every((b) => b >= 1))
        usage("bad --batches");
    if (opts.mode === "paced" && !(opts.rate > 0))
        usage("--rate is needed");
    return opts;
}

function usage(why) {
    process.stderr.write("feed_client: " + why + "\n" + USAGE + "\n");
    process.exit(64);
}

function nowUs() {
    return Math.round((performance.timeOrigin + performance.now()) * 1000);
}

function update(item) {
    return '{"key":"' + item + '","value":"' + nowUs() + '"}';
}

function seconds(since) {
    return ((performance.now() - since) / 1000).toFixed(3);
}

// Each item's update up to its value, made once per list of items.
const prefixes = new WeakMap();

function prefixesOf(items) {
    let found = prefixes.get(items);
    if (!found) {
        found = items.map((item) => '{"key":"' + item + '","value":"');
        prefixes.set(items, found);
    }
    return found;
}

// One message of the updates from the n-th on: an object, or an array of
// `batch`, every value the message's time of sending (one clock read a
// message keeps the feed far faster than the program it floods).
function message(items, n, batch, count) {
    if (batch === 1)
        return update(items[n % items.length]);
    const prefix = prefixesOf(items);
    const stamp = nowUs() + '"}';
    const parts = [];
    for (let i = n; i < Math.min(n + batch, count); i++)
        parts.push(prefix[i % prefix.length] + stamp);
    return "[" + parts.join(",") + "]";
}

// Sends count updates, batch to a message, as fast as the socket takes them.
function flood(ws, items, count, done, batch = 1) {
    const group = Math.max(1, Math.ceil(BATCH / batch));  // messages handed to ws at a time
    let sent = 0;
    let inFlight = 0;
    function fill() {
        while (inFlight < BATCHES_IN_FLIGHT && sent < count) {
            for (let m = 0; m < group - 1 && sent < count; m++, sent += batch)
                ws.send(message(items, sent, batch, count));
            if (sent >= count)
                break;
            inFlight++;
            ws.send(message(items, sent, batch, count), () => {
                inFlight--;
                fill();
            });
            sent += batch;
        }
        if (sent >= count && inFlight === 0)
            done();
    }
    fill();
}

// The phases of flood, one per batch size, each ended by its marker. The
// markers go to the last field, which the phases leave alone: an update of
// it behind the marker would replace it before a refresh carries it.
function phases(ws, items, opts, done) {
    const marker = items[items.length - 1];
    const flooded = items.slice(0, -1);
    let k = 0;
    function next() {
        if (k === opts.batches.length) {
            done();
            return;
        }
        const batch = opts.batches[k++];
        console.log("phase " + batch + " sending_us " + nowUs());
        flood(ws, flooded, opts.count, () => {
            // Every update of the phase is in the socket: with the program
            // reading as fast as it can, this is its pace less the socket's
            // few megabytes of slack.
            console.log("phase " + batch + " written_us " + nowUs());
            ws.send('{"key":"' + marker + '","value":"-' + k + '"}', () => setTimeout(next, opts.pause));
        }, batch);
    }
    next();
}

// Sends count updates at rate a second, catching up after a late timer.
function paced(ws, items, count, rate, done) {
    const started = performance.now();
    let sent = 0;
    function tick() {
        const due = Math.min(count, Math.floor((performance.now() - started) * rate / 1000) + 1);
        for (; sent < due; sent++)
            ws.send(update(items[sent % items.length]));
        if (sent < count)
            setTimeout(tick, 1);
        else
            done();
    }
    tick();
}

function main() {
    const opts = parseArgs(process.argv.slice(2));
    const started = performance.now();
    const items = [];
    console.log("connect_us " + nowUs());
    const ws = new WebSocket(opts.url, {perMessageDeflate: false, maxPayload: 0});
    let finished = false;

    const stop = () => {
        finished = true;
        ws.terminate();
        process.exit(0);
    };
    process.on("SIGTERM", stop);
    process.on("SIGINT", stop);

    ws.on("error", (e) => {
        process.stderr.write("feed_client: " + e.message + "\n");
        process.exit(1);
    });
    ws.on("close", () => {
        if (!finished) {
            process.stderr.write("feed_client: the program closed the connection\n");
            process.exit(1);
        }
    });
    ws.on("message", (data) => {
        if (items.length >= opts.fields)
            return;
        items.push(JSON.parse(data.toString()).request);
        if (items.length < opts.fields)
            return;
        console.log("asked " + items.length + " in " + seconds(started) + " s");
        if (opts.mode === "replay") {
            finished = true;
            ws.terminate();
            return;
        }
        if (opts.mode === "snapshot") {
            const values = items.map((item) => update(item));
            if (opts.last)
                values.push('{"key":"' + items[0] + '","value":"-' + opts.last + '"}');
            const snapshot = "[" + values.join(",") + "]";
            console.log("snapshot " + snapshot.length + " bytes sending_us " + nowUs());
            ws.send(snapshot);
            return;
        }
        const sending = performance.now();
        console.log("sending_us " + nowUs());
        const done = () => {
            if (opts.last)
                ws.send('{"key":"' + items[0] + '","value":"-1"}');
            console.log("sent " + opts.count + " in " + seconds(sending) + " s");
        };
        if (opts.mode === "flood" && opts.phased)
            phases(ws, items, opts, () => console.log("sent " + opts.batches.length + " phases"));
        else if (opts.mode === "flood")
            flood(ws, items, opts.count, done, opts.batches[0]);
        else
            paced(ws, items, opts.count, opts.rate, done);
    });
}

main();
