"""Speech-in-noise clips for the denoise benchmark, all made here.

Speech comes from espeak-ng (several voices and speeds), noise from numpy.
Two sets that share nothing: the corpus the suppressor may be tuned on, and a
held-out set (other sentences, voices, talkers and noise types) that checks
the tuning did not just fit the corpus."""

from __future__ import annotations

import hashlib
import subprocess
import tempfile
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import soundfile
from scipy import signal as sps

RATE = 16000
LEAD_S = 2.0   # noise alone before the sentence: fed, not scored
TAIL_S = 1.0   # noise alone after it: scored, it is where the pauses are
SNRS = (-5, 0, 5, 10, 20)
SPEECH_DBFS = -26.0  # active speech level, as ITU-T P.56 puts speech for PESQ
# Digital zeros in espeak's pauses would read as silence to the SDK's engine,
# which shortens silence; -100 dBFS of dither keeps every frame audio.
DITHER = 1e-5

# (text, voice, words per minute)
CORPUS_SENTENCES = [
    ("The birch canoe slid on the smooth planks.", "en-us", 160),
    ("Glue the sheet to the dark blue background.", "en+f3", 150),
    ("It is easy to tell the depth of a well.", "en-gb+m3", 170),
    ("These days a chicken leg is a rare dish.", "en-us+f2", 140),
    ("Rice is often served in round bowls.", "en+m7", 175),
    ("The juice of lemons makes fine punch.", "en-gb-x-rp+f4", 155),
    ("The box was thrown beside the parked truck.", "en-us+m2", 185),
    ("The hogs were fed chopped corn and garbage.", "en+f1", 145),
    ("Four hours of steady work faced us.", "en-gb+m5", 165),
    ("A large size in stockings is hard to sell.", "en-us+f5", 160),
]
HELDOUT_SENTENCES = [
    ("Please call Stella and ask her to bring these things with her from the store.",
     "en-gb-scotland+f2", 150),
    ("We will meet at the station at half past nine tomorrow morning.", "en-029+m4", 170),
    ("Numbers like seventeen and forty two are easy to mishear on a noisy line.",
     "en-us+m6", 180),
    ("She sells sea shells by the sea shore every summer.", "en-gb-x-gbclan+f4", 140),
    ("Turn left at the second light and the office is on your right.", "en+m1", 160),
]
# Talkers of the babble noises: never the sentences above.
CORPUS_BABBLE = [
    ("Open the crate but do not break the glass.", "en-us+m1", 170),
    ("The small pup gnawed a hole in the sock.", "en+f2", 160),
    ("A pot of tea helps to pass the evening.", "en-gb+m6", 150),
    ("Smoky fires lack flame and heat.", "en-us+f4", 175),
    ("The soft cushion broke the man's fall.", "en+m3", 155),
    ("Wipe the grease off his dirty face.", "en-gb+f1", 165),
]
HELDOUT_BABBLE = [
    ("The quick brown fox jumps over the lazy dog near the river bank.", "en-029+f3", 165),
    ("Coffee and cake were served on the terrace after the long meeting.", "en-gb-scotland+m2", 155),
    ("Every second train stops at the small village on the hill.", "en-us+m4", 175),
    ("The children played football until it was dark outside.", "en+f5", 150),
    ("He wrote the letter twice before he was happy with it.", "en-gb-x-rp+m7", 160),
    ("Bring your umbrella because the forecast says it will rain.", "en-us+f1", 170),
    ("Our neighbours painted their fence a bright shade of green.", "en+m2", 145),
    ("Most shops in the old town close early on Sundays.", "en-gb+f3", 180),
]

CORPUS_NOISES = ("white", "pink", "brown", "babble", "nonstationary")
HELDOUT_NOISES = ("speech-shaped", "car", "fan", "cafe", "hum60-varying")


@dataclass(frozen=True)
class Clip:
    name: str
    sentence: int
    noise: str
    snr_db: float
    clean: np.ndarray   # float32, LEAD_S + speech + TAIL_S (zeros outside speech)
    noisy: np.ndarray
    scored: slice       # what every metric reads


def speak(text: str, voice: str, wpm: int, cache: Path) -> np.ndarray:
    """espeak-ng's rendering at RATE, scaled to SPEECH_DBFS active level."""
    key = hashlib.sha1(f"{text}|{voice}|{wpm}".encode()).hexdigest()[:16]
    path = cache / f"speech-{key}.wav"
    if not path.exists():
        cache.mkdir(parents=True, exist_ok=True)
        with tempfile.NamedTemporaryFile(suffix=".wav", dir=cache) as raw:
            subprocess.run(["espeak-ng", "-v", voice, "-s", str(wpm), "-w", raw.name, text],
                           check=True, capture_output=True)
            audio, rate = soundfile.read(raw.name, dtype="float64")
        audio = sps.resample_poly(audio, RATE, rate)
        soundfile.write(path, audio.astype(np.float32), RATE, subtype="FLOAT")
    audio, _ = soundfile.read(path, dtype="float64")
    audio = audio[_first_last_active(audio)]
    return audio * 10 ** ((SPEECH_DBFS - active_level_db(audio)) / 20)


def _first_last_active(audio: np.ndarray) -> slice:
    active = np.flatnonzero(np.abs(audio) > 1e-3 * np.max(np.abs(audio)))
    return slice(active[0], active[-1] + 1)


def active_level_db(audio: np.ndarray, frame: int = 320) -> float:
    """Mean power of the 20 ms frames within 40 dB of the loudest, in dB:
    pauses do not dilute a talker's level."""
    frames = audio[: audio.size // frame * frame].reshape(-1, frame)
    power = np.mean(frames**2, axis=1)
    active = power > power.max() * 1e-4
    return float(10 * np.log10(np.mean(power[active])))


def _shaped(rng: np.random.Generator, n: int, exponent: float, lowest_hz: float = 20.0) -> np.ndarray:
    """Gaussian noise whose power falls as f**-exponent above lowest_hz."""
    spectrum = np.fft.rfft(rng.standard_normal(n))
    f = np.fft.rfftfreq(n, 1 / RATE)
    spectrum *= np.maximum(f, lowest_hz) ** (-exponent / 2)
    spectrum[0] = 0
    return np.fft.irfft(spectrum, n)


def _hum(n: int, fundamental: float, harmonics: list[float], rng: np.random.Generator) -> np.ndarray:
    t = np.arange(n) / RATE
    phases = rng.uniform(0, 2 * np.pi, len(harmonics))
    return sum(a * np.sin(2 * np.pi * fundamental * (h + 1) * t + p)
               for h, (a, p) in enumerate(zip(harmonics, phases)))


def _envelope(n: int, rng: np.random.Generator, depth_db: float, rate_hz: float) -> np.ndarray:
    """A slowly varying level: smoothed random walk plus a slow sine, in dB."""
    t = np.arange(n) / RATE
    knots = rng.uniform(-1, 1, int(n / RATE * rate_hz * 4) + 4)
    walk = np.interp(t, np.linspace(0, t[-1], knots.size), knots)
    db = depth_db * (0.6 * walk + 0.4 * np.sin(2 * np.pi * rate_hz * t + rng.uniform(0, 6.3)))
    return 10 ** (db / 20)


def _babble(n: int, rng: np.random.Generator, talkers: list, cache: Path) -> np.ndarray:
    out = np.zeros(n)
    for text, voice, wpm in talkers:
        speech = speak(text, voice, wpm, cache)
        looped = np.tile(np.concatenate([speech, np.zeros(int(0.3 * RATE))]), n // speech.size + 2)
        start = rng.integers(0, looped.size - n)
        out += looped[start:start + n]
    return out


def _speech_shaped(rng: np.random.Generator, n: int, cache: Path) -> np.ndarray:
    """Noise with the long-term spectrum of the held-out babble talkers."""
    talk = _babble(4 * RATE, np.random.default_rng(99), HELDOUT_BABBLE, cache)
    _, psd = sps.welch(talk, RATE, nperseg=512)
    spectrum = np.fft.rfft(rng.standard_normal(n))
    f = np.fft.rfftfreq(n, 1 / RATE)
    spectrum *= np.sqrt(np.interp(f, np.linspace(0, RATE / 2, psd.size), psd))
    return np.fft.irfft(spectrum, n)


def noise(kind: str, n: int, seed: int, cache: Path) -> np.ndarray:
    rng = np.random.default_rng(seed)
    if kind == "white":
        return rng.standard_normal(n)
    if kind == "pink":
        return _shaped(rng, n, 1.0)
    if kind == "brown":
        return _shaped(rng, n, 2.0)
    if kind == "babble":
        return _babble(n, rng, CORPUS_BABBLE, cache)
    if kind == "nonstationary":
        # Pinkish noise whose level drifts by +-8 dB, under a 50 Hz hum with
        # harmonics that carries a third of the power.
        base = _shaped(rng, n, 1.0) * _envelope(n, rng, 8.0, 0.25)
        base /= np.std(base)
        hum = _hum(n, 50.0, [1.0, 0.7, 0.5, 0.35, 0.25, 0.15], rng)
        return base + hum / np.std(hum) * np.sqrt(0.5)
    if kind == "speech-shaped":
        return _speech_shaped(rng, n, cache)
    if kind == "car":
        # Engine rumble: a steep spectrum (f**-3 above 60 Hz) with firing
        # harmonics at 35 Hz that drift with the engine speed.
        rumble = _shaped(rng, n, 3.0, lowest_hz=60.0)
        t = np.arange(n) / RATE
        rpm = 35.0 * (1 + 0.05 * np.sin(2 * np.pi * 0.2 * t))
        firing = np.sin(2 * np.pi * np.cumsum(rpm) / RATE) + 0.5 * np.sin(4 * np.pi * np.cumsum(rpm) / RATE)
        return rumble / np.std(rumble) + 0.3 * firing
    if kind == "fan":
        # Broadband noise through blade-pass resonances at 180 and 900 Hz
        # and a gentle tilt.
        base = _shaped(rng, n, 0.5)
        out = base.copy()
        for centre, q, weight in ((180.0, 8.0, 3.0), (900.0, 5.0, 1.5), (2500.0, 3.0, 0.8)):
            b, a = sps.iirpeak(centre, q, RATE)
            out += weight * sps.lfilter(b, a, base) / np.std(sps.lfilter(b, a, base)) * np.std(base)
        return out
    if kind == "cafe":
        talk = _babble(n, rng, HELDOUT_BABBLE, cache)
        # Cutlery: about three short decaying clicks of hiss a second.
        onsets = np.zeros(n)
        onsets[rng.integers(0, n, int(3 * n / RATE))] = rng.uniform(0.5, 2.0, int(3 * n / RATE))
        decay = np.exp(-np.arange(int(0.03 * RATE)) / (0.008 * RATE))
        clatter = np.convolve(onsets, decay)[:n] * _shaped(rng, n, -0.5)
        return talk / np.std(talk) + 0.5 * clatter / np.std(clatter)
    if kind == "hum60-varying":
        # 60 Hz mains hum with odd harmonics strong (a transformer), over
        # white-ish noise whose level swings by +-10 dB.
        base = _shaped(rng, n, 0.3) * _envelope(n, rng, 10.0, 0.4)
        base /= np.std(base)
        hum = _hum(n, 60.0, [1.0, 0.3, 0.8, 0.2, 0.5, 0.1, 0.3, 0.05, 0.15], rng)
        return base + hum / np.std(hum) * 0.8
    raise ValueError(kind)


def make_clip(sentences: list, noises: tuple, s: int, kind: str, snr: float, cache: Path,
              heldout: bool) -> Clip:
    speech = speak(*sentences[s], cache)
    lead, tail = int(LEAD_S * RATE), int(TAIL_S * RATE)
    clean = np.concatenate([np.zeros(lead), speech, np.zeros(tail)])
    seed = (1000 if heldout else 0) + 97 * s + 13 * noises.index(kind) + int(snr + 5)
    n = noise(kind, clean.size, seed, cache)
    scored = slice(lead, clean.size)
    # SNR: active speech level against the noise's mean power over the
    # scored stretch (so a noise whose level drifts is judged by its average).
    noise_db = 10 * np.log10(np.mean(n[scored] ** 2))
    n *= 10 ** ((SPEECH_DBFS - snr - noise_db) / 20)
    dither = np.random.default_rng(seed + 7).standard_normal(clean.size) * DITHER
    clean = clean + dither
    noisy = clean + n
    name = f"{'heldout' if heldout else 'corpus'}-s{s}-{kind}-{snr:+g}dB"
    return Clip(name, s, kind, snr, clean.astype(np.float32), noisy.astype(np.float32), scored)


def clips(heldout: bool, cache: Path, quick: bool = False) -> list[Clip]:
    """Every sentence x noise x SNR of one set; quick: 3 sentences, 0/5/10 dB
    and -5 dB only for the first sentence."""
    sentences = HELDOUT_SENTENCES if heldout else CORPUS_SENTENCES
    noises = HELDOUT_NOISES if heldout else CORPUS_NOISES
    chosen = range(3) if quick else range(len(sentences))
    snrs = (0, 5, 10) if quick else SNRS
    return [make_clip(sentences, noises, s, kind, snr, cache, heldout)
            for s in chosen for kind in noises for snr in snrs]


def clean_clips(heldout: bool, cache: Path) -> list[Clip]:
    """Each sentence alone (dithered): what a suppressor keeps of clean speech."""
    sentences = HELDOUT_SENTENCES if heldout else CORPUS_SENTENCES
    out = []
    for s in range(len(sentences)):
        speech = speak(*sentences[s], cache)
        lead, tail = int(LEAD_S * RATE), int(TAIL_S * RATE)
        clean = np.concatenate([np.zeros(lead), speech, np.zeros(tail)])
        clean += np.random.default_rng(s).standard_normal(clean.size) * DITHER
        clean = clean.astype(np.float32)
        out.append(Clip(f"clean-s{s}", s, "none", np.inf, clean, clean, slice(lead, clean.size)))
    return out


def level_step(kind: str, cache: Path, before_s: float = 4.0, after_s: float = 3.0,
               step_db: float = 12.0) -> tuple[np.ndarray, int]:
    """Noise alone at -40 dBFS that steps up by step_db; (samples, step index)."""
    n0, n1 = int(before_s * RATE), int(after_s * RATE)
    base = noise(kind, n0 + n1, 4242, cache)
    base /= np.std(base)
    gain = np.concatenate([np.full(n0, 10 ** (-40 / 20)), np.full(n1, 10 ** ((-40 + step_db) / 20))])
    x = base * gain + np.random.default_rng(1).standard_normal(n0 + n1) * DITHER
    return x.astype(np.float32), n0
