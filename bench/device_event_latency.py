# Latency from a token's insertion or removal to the "device_event_resp" frame on a
# WebSocket peer: the software token is pulled out and plugged in over its control socket,
# the clock runs from the control line sent to the frame received.
#   python3 device_event_latency.py PORT CA_PEM CONTROL_SOCKET DEVICE_NAME ROUNDS
import asyncio
import json
import ssl
import statistics
import sys
import time

import websockets


async def control(sock, line):
    reader, writer = await asyncio.open_unix_connection(sock)
    writer.write((line + "\n").encode())
    await writer.drain()
    reply = await asyncio.wait_for(reader.readline(), 5)
    writer.close()
    if not reply.startswith(b"OK"):
        raise RuntimeError("%s: %r" % (line, reply))


async def main(port, ca, sock, name, rounds):
    ctx = ssl.create_default_context(cafile=ca)
    lat = {1: [], 2: []}
    async with websockets.connect("wss://127.0.0.1:%d/" % port, ssl=ctx,
                                  server_hostname="orvadesk.localhost",
                                  ping_interval=None, open_timeout=10) as ws:
        await asyncio.wait_for(await ws.ping(b"ready?"), 5)
        for _ in range(rounds):
            for cmd, etype in (("unplug", 2), ("plug", 1)):
                t0 = time.perf_counter()
                await control(sock, "%s %s" % (cmd, name))
                frame = json.loads(await asyncio.wait_for(ws.recv(), 5))
                t1 = time.perf_counter()
                if frame.get("eventType") != etype:
                    raise RuntimeError("unexpected frame %r" % frame)
                lat[etype].append((t1 - t0) * 1000.0)
    for etype, what in ((2, "removal"), (1, "insertion")):
        v = sorted(lat[etype])
        p95 = v[min(len(v) - 1, int(round(0.95 * (len(v) - 1))))]
        print("%-9s n=%d median %.2f ms  p95 %.2f ms  max %.2f ms  min %.2f ms" %
              (what, len(v), statistics.median(v), p95, v[-1], v[0]))


asyncio.run(main(int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5])))
