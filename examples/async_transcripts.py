"""Transcripts in asyncio, without blocking the event loop."""

import asyncio

import tavix
from tavix import signals


async def main() -> None:
    keys, _ = signals.dtmf_sequence(16000, "42", tail_s=1.0)
    with tavix.Session() as session:
        stream = session.stream(rate=16000, translate=("en-US", "de-DE"))

        async def feed() -> None:
            with stream:
                for start in range(0, len(keys), 1600):
                    stream.process(keys[start:start + 1600])
                    await asyncio.sleep(0)  # let the loop run, as audio arrives over time
                stream.flush()

        feeder = asyncio.create_task(feed())
        async for t in stream.transcripts:  # ends once the stream is closed
            print(t)
        await feeder


asyncio.run(main())
