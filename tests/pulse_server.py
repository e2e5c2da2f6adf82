"""A private PulseAudio daemon for the live-audio tests.

One stereo null sink `mix` is the whole studio: the test plays its signal
into the left channel (through the mono sink `feed`), `tavix live` reads the
left channel of mix's monitor (the source `in`) and writes to the right
channel (the sink `out`), and the test records mix's monitor. Input and
output then sit side by side in one recording, on one clock, so the delay
between the channels is exactly what a listener hears: capture, processing
and playback."""

import os
import shutil
import signal
import subprocess
import time
from pathlib import Path

RATE = 48000

CONFIG = """\
load-module module-native-protocol-unix socket={folder}/native auth-anonymous=1
load-module module-null-sink sink_name=mix format=float32le rate={rate} channels=2 channel_map=front-left,front-right norewinds=1
load-module module-remap-sink sink_name=feed master=mix channels=1 master_channel_map=front-left channel_map=mono remix=no
load-module module-remap-sink sink_name=out master=mix channels=1 master_channel_map=front-right channel_map=mono remix=no
load-module module-remap-source source_name=in master=mix.monitor channels=1 master_channel_map=front-left channel_map=mono remix=no
"""


class PulseServer:
    def __init__(self, folder: Path):
        self.folder = folder
        for name in ("home", "runtime", "state"):
            (folder / name).mkdir(parents=True, exist_ok=True)
        self.variables = dict(PULSE_SERVER=f"unix:{folder}/native", HOME=str(folder / "home"),
                              XDG_RUNTIME_DIR=str(folder / "runtime"),
                              PULSE_RUNTIME_PATH=str(folder / "runtime"),
                              PULSE_STATE_PATH=str(folder / "state"))
        # The sound server and its tools are the machine's, not ours: they
        # run without the sanitizer runtime a checked test run preloads.
        self.env = self.client_env()
        self.env.pop("LD_PRELOAD", None)
        self.config = folder / "server.pa"
        self.config.write_text(CONFIG.format(folder=folder, rate=RATE))
        self._start()

    def _start(self):
        # No CPU-load limiter, real-time or nice-level requests: on a machine
        # busy with builds the limiter ends the daemon ("CPU load limit
        # exceeded"), and every later test would find no server.
        self.log = open(self.folder / "pulseaudio.log", "ab")
        self.process = subprocess.Popen(
            ["pulseaudio", "-n", "-F", str(self.config), "--daemonize=no", "--exit-idle-time=-1",
             "--disallow-exit", "--use-pid-file=no", "--log-target=stderr", "--no-cpu-limit",
             "--realtime=no", "--high-priority=no"],
            env=self.env, stdout=self.log, stderr=subprocess.STDOUT, start_new_session=True)
        deadline = time.monotonic() + 20
        while not self._answers():
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("pulseaudio did not start: " + self.log_tail())
            time.sleep(0.1)

    def log_tail(self):
        return (self.folder / "pulseaudio.log").read_text(errors="replace")[-500:]

    def ensure_running(self):
        """Starts the daemon again if it ended since the last test; returns
        the end of its log when it had to (the reason it ended), else None."""
        if self.process.poll() is None:
            return None
        self.log.close()
        ended = self.log_tail()
        self._start()
        return ended

    def _answers(self):
        return subprocess.run(["pactl", "info"], env=self.env, capture_output=True,
                              timeout=10).returncode == 0

    def client_env(self, **extra):
        """The environment of a client of the server, as this process has it
        otherwise (sanitizers and all); `tavix live` gets PULSE_SOURCE=in and
        PULSE_SINK=out, so the ALSA `pulse` device is the test's studio."""
        env = {key: value for key, value in os.environ.items()
               if key not in ("DBUS_SESSION_BUS_ADDRESS", "DISPLAY")}
        return dict(env, **self.variables, **extra)

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()


def missing_tools():
    """What the live tests need that this machine lacks (empty when all is there)."""
    return [tool for tool in ("pulseaudio", "pactl", "paplay", "parec") if shutil.which(tool) is None]
