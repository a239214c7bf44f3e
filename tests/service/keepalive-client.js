// A client built on Node's ws library, as web-technology clients are: it pings every
// 100 ms for 2 s, as keep-alives do, and sends a request beside each ping. Prints one
// line of what came back and exits 0 when every pong carried its ping's payload, in
// order, every request was answered and the close was echoed with 1000.
'use strict';
const WebSocket = require('ws');

const kPings = 20;
const sent = [];
const pongs = [];
let answers = 0;

// code is the status of the service's close frame; ws makes it 1006 when none came.
function finish(code) {
    const inOrder = pongs.length === sent.length && pongs.every((p, i) => p === sent[i]);
    console.log(JSON.stringify({pings: sent.length, pongs: pongs.length, inOrder, answers,
                                close: code}));
    process.exit(sent.length === kPings && inOrder && answers === kPings && code === 1000 ? 0 : 1);
}

const ws = new WebSocket('ws://127.0.0.1:6457/');
ws.on('error', (error) => {
    console.log('error: ' + error.message);
    process.exit(1);
});
ws.on('pong', (data) => pongs.push(data.toString()));
ws.on('message', (data) => {
    if (data.toString().endsWith(',parse command error\0')) answers++;
});
ws.on('close', (code) => finish(code));
ws.on('open', () => {
    const timer = setInterval(() => {
        const payload = 'keep-alive ' + sent.length;
        sent.push(payload);
        ws.ping(payload);
        ws.send('hello');
        if (sent.length === kPings) {
            clearInterval(timer);
            waitForAnswers(Date.now() + 10000);
        }
    }, 100);
});

// Closes once the last pong and answer are in, or after the deadline with what came.
function waitForAnswers(deadline) {
    if ((pongs.length < kPings || answers < kPings) && Date.now() < deadline) {
        setTimeout(() => waitForAnswers(deadline), 20);
        return;
    }
    ws.close(1000);
}
