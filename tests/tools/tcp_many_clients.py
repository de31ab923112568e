#!/usr/bin/python3
"""Holds many SIP-over-TCP connections to one server open at once, from a separate process.

Usage: tcp_many_clients.py <host> <port> <connections>

Opens every connection first, then sends one OPTIONS request on each, then reads one answer on
each, and only then closes them all. Prints "connected N", "answered N" and "done"; exits 0 when
every connection got its answer. Every step is bounded in time.
"""
import asyncio
import resource
import sys


def request(number):
    return ("OPTIONS sip:bob@example.test SIP/2.0\r\n"
            "Via: SIP/2.0/TCP 127.0.0.1;branch=z9hG4bKmany%d\r\n"
            "From: <sip:alice@example.test>;tag=m%d\r\n"
            "To: <sip:bob@example.test>\r\n"
            "Call-ID: many-%d\r\n"
            "CSeq: 1 OPTIONS\r\n"
            "Max-Forwards: 70\r\n"
            "Content-Length: 0\r\n\r\n" % (number, number, number)).encode()


async def answer_of(reader):
    head = await reader.readuntil(b"\r\n\r\n")
    for line in head.split(b"\r\n"):
        if line.lower().startswith(b"content-length:"):
            await reader.readexactly(int(line.split(b":", 1)[1]))
    return head.split(b"\r\n", 1)[0]


async def run(host, port, count):
    gate = asyncio.Semaphore(256)

    async def connect():
        async with gate:
            return await asyncio.wait_for(asyncio.open_connection(host, port), 30)

    connections = await asyncio.gather(*[connect() for _ in range(count)])
    print("connected", len(connections), flush=True)
    for number, (_, writer) in enumerate(connections):
        writer.write(request(number))
    await asyncio.gather(*[writer.drain() for _, writer in connections])
    answers = await asyncio.wait_for(asyncio.gather(*[answer_of(reader) for reader, _ in connections]), 120)
    answered = sum(1 for status in answers if status.startswith(b"SIP/2.0 200"))
    print("answered", answered, flush=True)
    for _, writer in connections:
        writer.close()
    print("done", flush=True)
    return 0 if answered == count else 1


def main():
    host, port, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, count + 256), hard))
    try:
        return asyncio.run(run(host, port, count))
    except Exception as error:  # reported to the test, which prints our output
        print("failed", type(error).__name__, error, flush=True)
        return 2


if __name__ == "__main__":
    sys.exit(main())
