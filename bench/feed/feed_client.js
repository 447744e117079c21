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
//
// It prints "asked N in S s" (from the start of the connection to the N-th
// request) and, for flood and paced, "sending_us T" (the time stamp of the
// first update) and "sent U in S s" once the last update is handed to the
// socket; then it stays connected until it is sent SIGTERM or SIGINT.
// replay ends after its line. With --last 1, the updates are followed by one
// more, of the value -1 to the first field, which tells an RTD client that
// every update before it has been read. Exit codes: 0 done, 1 connection
// failed or closed early, 64 usage.
"use strict";

const WebSocket = require("ws");

const USAGE = "usage: feed_client.js flood|paced|replay --fields N [--count U] [--rate R] [--last 1] [--url URL]";

// Updates per batch handed to ws, and batches allowed to wait unwritten:
// enough that the socket never runs dry, few enough that memory stays flat.
const BATCH = 256;
const BATCHES_IN_FLIGHT = 4;

function parseArgs(argv) {
    const opts = {mode: argv[0], fields: 0, count: 0, rate: 0, last: 0, url: "ws://127.0.0.1:8902/"};
    for (let i = 1; i + 1 < argv.length; i += 2) {
        const name = argv[i].replace(/^--/, "");
        if (!(name in opts) || name === "mode")
            usage("unknown option " + argv[i]);
        opts[name] = name === "url" ? argv[i + 1] : Number(argv[i + 1]);
    }
    if (argv.length % 2 === 0 || !["flood", "paced", "replay"].includes(opts.mode) || !(opts.fields >= 1))
        usage("bad arguments");
    if (opts.mode !== "replay" && !(opts.count >= 1))
        usage("--count is needed");
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

// Sends count updates as fast as the socket takes them.
function flood(ws, items, count, done) {
    let sent = 0;
    let inFlight = 0;
    function fill() {
        while (inFlight < BATCHES_IN_FLIGHT && sent < count) {
            const end = Math.min(sent + BATCH, count);
            for (; sent < end - 1; sent++)
                ws.send(update(items[sent % items.length]));
            inFlight++;
            ws.send(update(items[sent % items.length]), () => {
                inFlight--;
                fill();
            });
            sent++;
        }
        if (sent === count && inFlight === 0)
            done();
    }
    fill();
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
    const ws = new WebSocket(opts.url, {perMessageDeflate: false});
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
        const sending = performance.now();
        console.log("sending_us " + nowUs());
        const done = () => {
            if (opts.last)
                ws.send('{"key":"' + items[0] + '","value":"-1"}');
            console.log("sent " + opts.count + " in " + seconds(sending) + " s");
        };
        if (opts.mode === "flood")
            flood(ws, items, opts.count, done);
        else
            paced(ws, items, opts.count, opts.rate, done);
    });
}

main();
