// A feed client on Node's built-in WebSocket (node --experimental-websocket,
// Node 20.10 or later), for the end-to-end tests:
//
//   node --experimental-websocket node_feed_client.mjs URL VALUE CLOSE_AFTER_MS
//
// It answers the first request with an update carrying VALUE, closes with
// code 1000 CLOSE_AFTER_MS later and prints each event as one JSON line.
const [url, value, closeAfter] = process.argv.slice(2);

function report(event) {
    process.stdout.write(JSON.stringify(event) + "\n");
}

const socket = new WebSocket(url);
let answered = false;
socket.addEventListener("open", () => report({event: "open"}));
socket.addEventListener("message", (e) => {
    report({event: "message", text: String(e.data)});
    if (answered)
        return;
    answered = true;
    const update = JSON.stringify({key: JSON.parse(e.data).request, value: value});
    socket.send(update);
    report({event: "sent", text: update});
    setTimeout(() => socket.close(1000), Number(closeAfter));
});
socket.addEventListener("error", (e) => report({event: "error", message: String(e.message)}));
socket.addEventListener("close", (e) => {
    report({event: "close", code: e.code, clean: e.wasClean});
    process.exit(0);
});
