# A WebSocket peer that listens for token events (python3-websockets): opens wss:// with
# the local CA, makes sure the service serves it (a ping answered), prints READY, then one
# line per frame received, "EVENT <receive time in ns> <frame>", until it has COUNT frames
# or nothing came for 10 s.
import asyncio
import ssl
import sys
import time

import websockets


async def main(port, ca, count):
    ctx = ssl.create_default_context(cafile=ca)
    async with websockets.connect("wss://127.0.0.1:%d/" % port, ssl=ctx,
                                  server_hostname="orvadesk.localhost",
                                  ping_interval=None, open_timeout=10) as ws:
        # The pong comes from the connection's own thread once it serves WebSocket frames,
        # so events posted from now on reach this peer.
        await asyncio.wait_for(await ws.ping(b"ready?"), 5)
        print("READY", flush=True)
        for _ in range(count):
            frame = await asyncio.wait_for(ws.recv(), 10)
            print("EVENT %d %s" % (time.time_ns(), frame.rstrip("\n")), flush=True)
        await ws.close()
        print("CLOSED %s" % ws.close_code, flush=True)


asyncio.run(main(int(sys.argv[1]), sys.argv[2], int(sys.argv[3])))
