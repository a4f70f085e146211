# A WebSocket peer for the service tests (python3-websockets): opens wss:// with the
# local CA, waits for one pushed event, pings, sends a message, closes cleanly.
# Lines on standard output tell the test how far it got.
import asyncio
import ssl
import sys

import websockets


async def main(port, ca):
    ctx = ssl.create_default_context(cafile=ca)
    async with websockets.connect("wss://127.0.0.1:%d/" % port, ssl=ctx,
                                  server_hostname="orvadesk.localhost",
                                  ping_interval=0.2, ping_timeout=5,
                                  open_timeout=10) as ws:
        print("OPEN", flush=True)
        event = await asyncio.wait_for(ws.recv(), 10)
        print("EVENT " + event.rstrip("\n"), flush=True)
        pong = await ws.ping(b"are you there")
        await asyncio.wait_for(pong, 5)
        print("PONG", flush=True)
        await asyncio.sleep(0.7)  # its own keep-alive pings go back and forth meanwhile
        await ws.send("hello from python")
        await ws.close()
        print("CLOSED %s" % ws.close_code, flush=True)


asyncio.run(main(int(sys.argv[1]), sys.argv[2]))
