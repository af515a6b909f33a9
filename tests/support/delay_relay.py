#!/usr/bin/env python3
"""A TCP relay that holds every chunk for a while in each direction: a slow link for tests.

    delay_relay.py LISTEN_ADDR LISTEN_PORT TARGET_ADDR TARGET_PORT DELAY_MS [LIFETIME_S]

Accepts on LISTEN_ADDR:LISTEN_PORT, connects each client to TARGET_ADDR:TARGET_PORT, and passes
bytes both ways, each chunk DELAY_MS after it arrived (order kept). The target is connected only
after the same delay, so the client sees the server's first words one round trip late. Prints
"ready" once listening; ends by itself after LIFETIME_S seconds (default 300).
"""
import asyncio
import sys


async def pump(reader, writer, delay):
    queue = asyncio.Queue()

    async def send():
        while True:
            due, chunk = await queue.get()
            wait = due - asyncio.get_running_loop().time()
            if wait > 0:
                await asyncio.sleep(wait)
            if chunk is None:
                break
            writer.write(chunk)
            await writer.drain()
        writer.close()

    sender = asyncio.create_task(send())
    try:
        while True:
            chunk = await reader.read(65536)
            queue.put_nowait((asyncio.get_running_loop().time() + delay, chunk or None))
            if not chunk:
                break
    except (ConnectionError, OSError):
        queue.put_nowait((0, None))
    await sender


async def main():
    listen_addr, listen_port, target_addr, target_port = sys.argv[1:5]
    delay = int(sys.argv[5]) / 1000.0
    lifetime = float(sys.argv[6]) if len(sys.argv) > 6 else 300.0

    async def serve(client_reader, client_writer):
        await asyncio.sleep(delay)
        try:
            server_reader, server_writer = await asyncio.open_connection(target_addr, int(target_port))
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(pump(client_reader, server_writer, delay),
                             pump(server_reader, client_writer, delay), return_exceptions=True)

    server = await asyncio.start_server(serve, listen_addr, int(listen_port), backlog=512)
    print("ready", flush=True)
    async with server:
        await asyncio.sleep(lifetime)


asyncio.run(main())
