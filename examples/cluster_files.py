"""Files on a Dask cluster (pip install 'tavix[cluster]'): here two worker
processes on this machine."""

import sys
import tempfile
from pathlib import Path

import tavix
from tavix import cluster, signals

if __name__ == "__main__":  # the workers start by importing this file
    folder = Path(sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp())
    inputs: list[Path] = []
    for index in range(4):
        _, noisy = signals.noisy_tone(16000, 1.0, snr_db=0.0, seed=index)
        tavix.write_audio(folder / f"call{index}.wav", noisy, 16000)
        inputs.append(folder / f"call{index}.wav")

    with cluster.connect("local:2") as client:  # or a scheduler's address: "tcp://host:8786"
        summaries = cluster.process_files(inputs, [p.with_suffix(".clean.wav") for p in inputs],
                                          client=client, model="denoise")
    print(f"{len(summaries)} files, {sum(s.duration for s in summaries):.1f} s of audio")
