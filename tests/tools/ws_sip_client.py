#!/usr/bin/python3
"""A WebSocket SIP client that is not ours (RFC 7118), on Debian's python3-websockets.

Usage: ws_sip_client.py <ws-or-wss-url> <count> [<ca-file>] [--no-subprotocol]

Connects asking for the "sip" subprotocol, sends <count> OPTIONS requests (alternately as text and
binary frames; the last one fragmented over several frames), and prints the negotiated
subprotocol and the status line of every answer. With --no-subprotocol it asks for none and
prints "refused" when the server turns the upgrade down. Every step is bounded in time.
"""
import asyncio
import ssl
import sys

import websockets


def request(number):
    return ("OPTIONS sip:bob@example.test SIP/2.0\r\n"
            "Via: SIP/2.0/WS df7jal23ls0d.invalid;branch=z9hG4bKws%d\r\n"
            "From: <sip:alice@example.test>;tag=ws%d\r\n"
            "To: <sip:bob@example.test>\r\n"
            "Call-ID: ws-%d@df7jal23ls0d.invalid\r\n"
            "CSeq: %d OPTIONS\r\n"
            "Max-Forwards: 70\r\n"
            "Content-Length: 0\r\n\r\n" % (number, number, number, number))


async def run(url, count, cafile, subprotocols):
    context = None
    if url.startswith("wss:"):
        context = ssl.create_default_context(cafile=cafile)
    try:
        socket = await asyncio.wait_for(
            websockets.connect(url, subprotocols=subprotocols, ssl=context, open_timeout=5), 10)
    except (websockets.exceptions.InvalidHandshake, websockets.exceptions.InvalidStatusCode,
            ConnectionError, asyncio.TimeoutError) as error:
        print("refused", type(error).__name__, flush=True)
        return 3 if subprotocols else 0
    try:
        print("subprotocol", socket.subprotocol, flush=True)
        for number in range(1, count + 1):
            text = request(number)
            if number == count and len(text) > 20:
                await socket.send(iter([text[:10], text[10:20], text[20:]]))
            elif number % 2 == 0:
                await socket.send(text.encode())
            else:
                await socket.send(text)
        for _ in range(count):
            answer = await asyncio.wait_for(socket.recv(), 10)
            if isinstance(answer, bytes):
                answer = answer.decode()
            print("answer", answer.split("\r\n", 1)[0], flush=True)
    finally:
        await socket.close()
    print("done", flush=True)
    return 0


def main():
    arguments = [a for a in sys.argv[1:] if not a.startswith("--")]
    subprotocols = None if "--no-subprotocol" in sys.argv else ["sip"]
    url, count = arguments[0], int(arguments[1])
    cafile = arguments[2] if len(arguments) > 2 else None
    return asyncio.run(run(url, count, cafile, subprotocols))


if __name__ == "__main__":
    sys.exit(main())
