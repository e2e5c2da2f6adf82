"""Speech quality of the SDK's `denoise` model against classical and neural
noise suppressors, side by side in one run, written into docs/denoise.md.

    bench/denoise/run.sh [--quick] [--label NAME] [--sets corpus,heldout]

(run.sh sets up the benchmark's own environment and builds the module; this
script expects both.) Every method processes the same clips; its latency is
measured once by cross-correlation on a calibration clip and removed; every
metric reads the sentence and the second of noise after it, never the 2 s of
noise before it, which each method hears first to learn the noise.

--quick scores a subset (3 sentences, 0/5/10 dB) for iterating; a full run
replaces the section --label (default `after`) of docs/denoise.md."""

from __future__ import annotations

import argparse
import json
import multiprocessing
import os
import platform
import re
import subprocess
import sys
import time
from collections import defaultdict
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent.parent
sys.path.insert(0, str(HERE))

import corpus  # noqa: E402
import methods  # noqa: E402
import metrics  # noqa: E402

PEERS = ("Speex preprocessor", "WebRTC NS, level 2", "WebRTC NS, level 4", "noisereduce (offline)")
TARGET_SNRS = (0, 5, 10)

_methods: dict = {}
_delays: dict = {}


def _init_worker(delays: dict, chosen: list[str]) -> None:
    _methods.update({k: v for k, v in methods.all_methods().items() if k in chosen})
    _delays.update(delays)


def _score_clip(clip: corpus.Clip) -> list[dict]:
    records = []
    s = clip.scored
    for name, method in _methods.items():
        out = metrics.advanced(method(clip.noisy), _delays[name])
        record = {"clip": clip.name, "sentence": clip.sentence, "noise": clip.noise,
                  "snr": clip.snr_db, "method": name}
        if np.isinf(clip.snr_db):  # clean input: quality kept, level kept
            record["pesq"] = metrics.pesq_wb(clip.clean[s], out[s])
            record["level_db"] = float(10 * np.log10(np.sum(out[s].astype(np.float64) ** 2)
                                                     / np.sum(clip.clean[s].astype(np.float64) ** 2)))
        else:
            record.update(metrics.score(clip.clean[s], clip.noisy[s], out[s]))
        records.append(record)
    return records


def calibrate(chosen: dict, cache: Path) -> dict[str, int]:
    """Each method's delay, on a sentence in light white noise."""
    clip = corpus.make_clip(corpus.CORPUS_SENTENCES, corpus.CORPUS_NOISES, 0, "white", 20.0,
                            cache, heldout=False)
    return {name: metrics.delay_of(method(clip.noisy), clip.clean) for name, method in chosen.items()}


def step_response(chosen: dict, delays: dict, kind: str, cache: Path) -> dict[str, dict]:
    noisy, step = corpus.level_step(kind, cache)
    out = {}
    for name, method in chosen.items():
        if name == "noisy input":
            continue
        y = metrics.advanced(method(noisy), delays[name])
        t, removed = metrics.removal_after_step(noisy, y, step)
        steady = float(10 * np.log10(np.sum(noisy[step - 16000:step].astype(np.float64) ** 2)
                                     / max(np.sum(y[step - 16000:step].astype(np.float64) ** 2), 1e-20)))
        # The first moment from which every 50 ms window of the next half
        # second has at least 10 dB removed.
        ok = removed >= 10.0
        span = int(round(0.5 / 0.05))
        settle = next((float(t[i]) for i in range(len(ok) - span) if ok[i:i + span].all()), float("inf"))
        out[name] = {"before_step": steady,
                     "first_half_s": float(np.mean(removed[t < 0.5])),
                     "half_to_1s": float(np.mean(removed[(t >= 0.5) & (t < 1.0)])),
                     "settle_s": settle}
    return out


def speed(chosen: dict, cache: Path) -> dict[str, float]:
    """Seconds of audio per second of processing, on the same 60 s."""
    pieces = [c.noisy for c in corpus.clips(False, cache, quick=True)[:20]]
    audio = np.concatenate(pieces)
    audio = np.tile(audio, int(np.ceil(60 * corpus.RATE / audio.size)))[: 60 * corpus.RATE]
    result = {}
    for name, method in chosen.items():
        if name == "noisy input":
            continue
        best = min(_timed(method, audio) for _ in range(2))
        result[name] = 60.0 / best
    return result


def _timed(method, audio) -> float:
    started = time.perf_counter()
    method(audio)
    return time.perf_counter() - started


def ours_at_48k() -> dict[str, float]:
    """Real-time factor of `denoise` through process_frame at 48 kHz mono
    (20 ms frames, after priming) and the model delay the SDK reports."""
    import _tavix_module as m
    sdk = methods.Ours.sdk()
    rate = 48000
    frame = m.AudioFrame(np.random.default_rng(1).standard_normal(rate // 50).astype(np.float32) * 0.05)
    attrs = m.ProcessorAttributes(m.AudioAttributes(rate, 1, "denoise"))
    with sdk.create_audio_processor(attrs) as processor:
        for _ in range(100):
            processor.process_frame(frame)
        best = float("inf")
        for _ in range(5):
            started = time.perf_counter()
            for _ in range(500):
                processor.process_frame(frame)
            best = min(best, (time.perf_counter() - started) / 500)
    log = Path(methods.Ours._storage.name, "logs", "tavix.log").read_text()
    latency_ms = [float(x) for x in re.findall(r"latency_ms=\"?([0-9.]+)", log)]
    return {"times_real_time": 0.02 / best, "model_delay_ms": max(latency_ms) - 40.0}


def cell_means(records: list[dict], key: str) -> dict:
    """(method, noise, snr) -> mean of key over sentences."""
    cells = defaultdict(list)
    for r in records:
        cells[(r["method"], r["noise"], r["snr"])].append(r[key])
    return {k: float(np.nanmean(v)) for k, v in cells.items()}


def overall(records: list[dict], method: str, key: str) -> float:
    return float(np.nanmean([r[key] for r in records if r["method"] == method]))


def summarise(set_name: str, records: list[dict], clean: list[dict], noises: tuple,
              steps: dict, speeds: dict) -> tuple[list[str], list[tuple[str, bool, str]]]:
    names = list(dict.fromkeys(r["method"] for r in records))
    noisy_sisdr = {r["clip"]: r["si_sdr"] for r in records if r["method"] == "noisy input"}
    for r in records:
        r["d_si_sdr"] = r["si_sdr"] - noisy_sisdr[r["clip"]]
    snrs = sorted({r["snr"] for r in records})
    lines = [f"| method | PESQ-WB | STOI | ΔSI-SDR | segSNR | noise removed in pauses | "
             f"clean speech PESQ | after +12 dB step: removed 0.5-1 s | × real time |",
             "| --- | --- | --- | --- | --- | --- | --- | --- | --- |"]
    clean_pesq = defaultdict(list)
    for r in clean:
        clean_pesq[r["method"]].append(r["pesq"])
    for name in names:
        st = steps.get(name)
        step_text = f"{st['half_to_1s']:.1f} dB (≥10 dB from {st['settle_s']:.2f} s)" if st else "—"
        speed_text = f"{speeds[name]:.0f}×" if name in speeds else "—"
        lines.append(
            f"| {'**ours**' if name == 'ours' else name} | {overall(records, name, 'pesq'):.2f} | "
            f"{overall(records, name, 'stoi'):.3f} | {overall(records, name, 'd_si_sdr'):+.1f} dB | "
            f"{overall(records, name, 'seg_snr'):+.1f} dB | {overall(records, name, 'pause_removed'):.1f} dB | "
            f"{np.nanmean(clean_pesq[name]):.2f} | {step_text} | {speed_text} |")
    pesq_cells = cell_means(records, "pesq")
    lines += ["", f"PESQ-WB per noise at 0, 5 and 10 dB (mean of the three; ✗ marks a cell of "
              f"these where a classical peer beats ours):", "",
              "| method | " + " | ".join(noises) + " |", "|---" * (len(noises) + 1) + "|"]
    for name in names:
        row = []
        for noise in noises:
            vals = [pesq_cells.get((name, noise, s), np.nan) for s in TARGET_SNRS]
            mark = ""
            if name == "ours" and any(
                    pesq_cells.get((peer, noise, s), -1) >= pesq_cells.get(("ours", noise, s), 0)
                    for peer in PEERS if peer in names for s in TARGET_SNRS):
                mark = " ✗"
            row.append(f"{np.nanmean(vals):.2f}{mark}")
        lines.append(f"| {name} | " + " | ".join(row) + " |")
    for key, label, fmt in (("pesq", "PESQ-WB", "{:.2f}"), ("d_si_sdr", "ΔSI-SDR (dB)", "{:+.1f}"),
                            ("stoi", "STOI (noisy input in brackets)", "{:.3f}")):
        cells = cell_means(records, key)
        lines += ["", f"ours, {label} per noise × SNR:", "",
                  "| noise | " + " | ".join(f"{s:+g} dB" for s in snrs) + " |",
                  "|---" * (len(snrs) + 1) + "|"]
        for noise in noises:
            row = []
            for s in snrs:
                v = fmt.format(cells[("ours", noise, s)])
                if key == "stoi":
                    v += f" ({cells[('noisy input', noise, s)]:.3f})"
                row.append(v)
            lines.append(f"| {noise} | " + " | ".join(row) + " |")

    targets = []
    ours_pesq = overall(records, "ours", "pesq")
    worst_cell = []
    for peer in PEERS:
        if peer not in names:
            continue
        targets.append((f"PESQ-WB overall ahead of {peer}",
                        ours_pesq > overall(records, peer, "pesq"),
                        f"{ours_pesq:.2f} vs {overall(records, peer, 'pesq'):.2f}"))
        for noise in noises:
            for s in TARGET_SNRS:
                if (("ours", noise, s) in pesq_cells
                        and pesq_cells[(peer, noise, s)] >= pesq_cells[("ours", noise, s)]):
                    worst_cell.append(f"{noise} {s:+g} dB: {pesq_cells[('ours', noise, s)]:.2f} vs "
                                      f"{peer} {pesq_cells[(peer, noise, s)]:.2f}")
    targets.append(("PESQ-WB ahead of every classical peer on each noise at 0, 5, 10 dB",
                    not worst_cell, "; ".join(worst_cell) if worst_cell else "all cells"))
    d = overall(records, "ours", "d_si_sdr")
    targets.append(("ΔSI-SDR at least +5 dB overall", d >= 5.0, f"{d:+.2f} dB"))
    dcells = cell_means(records, "d_si_sdr")
    bad = [f"{n} {s:+g} dB: {v:+.2f}" for (m, n, s), v in dcells.items() if m == "ours" and s >= 0 and v <= 0]
    lo = min(v for (m, n, s), v in dcells.items() if m == "ours" and s >= 0)
    targets.append(("ΔSI-SDR positive in every cell from 0 dB", not bad,
                    "; ".join(bad) if bad else f"lowest {lo:+.2f} dB"))
    scells = cell_means(records, "stoi")
    margins = {(n, s): v - scells[("noisy input", n, s)] for (m, n, s), v in scells.items()
               if m == "ours" and s >= 0}
    bad = [f"{n} {s:+g} dB: {v:+.3f}" for (n, s), v in margins.items() if v < 0]
    targets.append(("STOI not below the noisy input in any cell from 0 dB", not bad,
                    "; ".join(bad) if bad else f"smallest margin {min(margins.values()):+.3f}"))
    if "ours" in steps:
        st = steps["ours"]
        targets.append(("after a +12 dB step, at least 10 dB removed within 0.5 s",
                        st["settle_s"] <= 0.5,
                        f"≥10 dB in every 50 ms window from {st['settle_s']:.2f} s after the step; "
                        f"{st['half_to_1s']:.1f} dB removed 0.5-1 s after it"))
    cp = float(np.nanmean(clean_pesq["ours"]))
    targets.append(("clean speech PESQ-WB at least 4.0", cp >= 4.0,
                    f"{cp:.2f} (lowest sentence {np.nanmin(clean_pesq['ours']):.2f})"))
    return lines, targets


def markdown(label: str, sections: dict, extra: dict, elapsed: float, quick: bool) -> str:
    cpu = next((l.split(":", 1)[1].strip() for l in Path("/proc/cpuinfo").read_text().splitlines()
                if l.startswith("model name")), platform.processor())
    out = [f"<!-- bench:{label}:begin (written by bench/denoise/run.py; edits here are replaced) -->",
           "", f"Run: {time.strftime('%Y-%m-%d')}, {'QUICK subset, ' if quick else ''}"
           f"{os.cpu_count()} cores ({cpu}), Python {platform.python_version()}, "
           f"{elapsed / 60:.1f} min for the whole benchmark.", ""]
    if "ours_48k" in extra:
        o = extra["ours_48k"]
        out += [f"`denoise` through `process_frame`, 48 kHz mono, 20 ms frames: "
                f"{o['times_real_time']:.0f}× real time; model delay {o['model_delay_ms']:.1f} ms "
                f"(the SDK's reported latency less its 40 ms buffer).", ""]
    for set_name, (lines, targets) in sections.items():
        out += [f"#### {set_name}", ""] + lines + ["", "Targets:", ""]
        out += [f"- {'met' if ok else '**MISSED**'}: {what} — {detail}" for what, ok, detail in targets]
        out.append("")
    if "ours_48k" in extra:
        o = extra["ours_48k"]
        out += [f"- {'met' if o['times_real_time'] >= 300 else '**MISSED**'}: at least 300× real "
                f"time at 48 kHz mono — {o['times_real_time']:.0f}×",
                f"- {'met' if o['model_delay_ms'] <= 32 else '**MISSED**'}: model delay at most 32 ms — "
                f"{o['model_delay_ms']:.1f} ms", ""]
    out.append(f"<!-- bench:{label}:end -->")
    return "\n".join(out)


def write_doc(label: str, text: str) -> Path:
    doc = ROOT / "docs" / "denoise.md"
    current = doc.read_text() if doc.exists() else "# The `denoise` model\n\n"
    pattern = re.compile(rf"<!-- bench:{re.escape(label)}:begin.*?<!-- bench:{re.escape(label)}:end -->",
                         re.S)
    if pattern.search(current):
        current = pattern.sub(lambda _: text, current)
    else:
        current = current.rstrip("\n") + f"\n\n### Benchmark run: {label}\n\n" + text + "\n"
    doc.parent.mkdir(exist_ok=True)
    doc.write_text(current)
    return doc


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a subset of clips, no doc unless --label")
    parser.add_argument("--label", help="section of docs/denoise.md to replace (full run: after)")
    parser.add_argument("--sets", default="corpus,heldout")
    parser.add_argument("--methods", help="words picking a subset of the peers, comma-separated "
                        "(`speex,webrtc`); the noisy input and ours are always scored")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--cache", default=str(ROOT / "build" / "denoise-bench"))
    parser.add_argument("--no-speed", action="store_true")
    args = parser.parse_args()
    started = time.perf_counter()
    cache = Path(args.cache)

    every = methods.all_methods()
    chosen_names = list(every)
    if args.methods:
        words = [w.strip().lower() for w in args.methods.split(",") if w.strip()]
        chosen_names = [n for n in every
                        if n in ("noisy input", "ours") or any(w in n.lower() for w in words)]
    chosen = {n: every[n] for n in chosen_names}
    delays = calibrate(chosen, cache)
    print("delays (samples at 16 kHz):", delays, flush=True)

    sets = args.sets.split(",")
    sections, raw, extra = {}, {}, {}
    ctx = multiprocessing.get_context("spawn")  # the parent holds SDK threads
    with ctx.Pool(args.jobs, _init_worker, (delays, chosen_names)) as pool:
        for set_name in sets:
            heldout = set_name == "heldout"
            clips = corpus.clips(heldout, cache, quick=args.quick)
            clean = corpus.clean_clips(heldout, cache)
            records = [r for rs in pool.imap_unordered(_score_clip, clips) for r in rs]
            clean_records = [r for rs in pool.imap_unordered(_score_clip, clean) for r in rs]
            kind = "speech-shaped" if heldout else "pink"
            steps = step_response(chosen, delays, kind, cache)
            raw[set_name] = {"records": records, "clean": clean_records, "steps": steps}
            print(f"{set_name}: {len(clips)} clips scored ({time.perf_counter() - started:.0f} s)", flush=True)
    speeds = {} if args.no_speed else speed(chosen, cache)
    if not args.no_speed:
        extra["ours_48k"] = ours_at_48k()
    for set_name in sets:
        heldout = set_name == "heldout"
        title = ("Held-out speech and noise (not in the corpus: other sentences, voices and "
                 "talkers; speech-shaped, car, fan, cafe and 60 Hz hum noise; step on speech-shaped noise)"
                 if heldout else "Corpus (step on pink noise)")
        r = raw[set_name]
        sections[title] = summarise(set_name, r["records"], r["clean"],
                                    corpus.HELDOUT_NOISES if heldout else corpus.CORPUS_NOISES,
                                    r["steps"], speeds)
    elapsed = time.perf_counter() - started
    text = markdown(args.label or "after", sections, extra, elapsed, args.quick)
    print(text)
    cache.mkdir(parents=True, exist_ok=True)
    (cache / f"results-{args.label or ('quick' if args.quick else 'after')}.json").write_text(
        json.dumps({"delays": delays, "speeds": speeds, "extra": extra, "raw": raw}, indent=1, default=float))
    if args.label or not args.quick:
        print("wrote", write_doc(args.label or "after", text))
    print(f"benchmark took {elapsed:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
