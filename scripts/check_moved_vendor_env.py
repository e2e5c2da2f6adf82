"""Run by scripts/check-vendor-build with the moved environment's Python: the
module is the +vendor build (argv[1] is the version expected), the SDK library
it loaded is the copy inside the environment, and audio goes through it."""
import importlib.metadata
import os
import sys
import tempfile

import numpy as np

import _tavix_module as m

expected = sys.argv[1]
assert m.__version__ == importlib.metadata.version("tavix") == expected, (
    m.__version__, importlib.metadata.version("tavix"), expected)
with open("/proc/self/maps") as maps:
    sdk_libraries = {line.split()[-1] for line in maps if "libTavixSdk" in line}
inside = os.path.realpath(sys.prefix) + os.sep
assert sdk_libraries and all(path.startswith(inside) for path in sdk_libraries), sdk_libraries
print(f"module {m.__version__}, SDK library {sorted(sdk_libraries)}")

os.environ["TAVIX_LOCAL_INFERENCING"] = "1"
with tempfile.TemporaryDirectory() as storage:
    sdk = m.create_sdk(m.InitParams(storage))
    assert sdk.activate_api_key("tvx1-demo-all-never-13c5b659").success
    attrs = m.ProcessorAttributes(m.AudioAttributes(16000, 1, "denoise"))
    noise = np.random.default_rng(0).normal(0, 0.1, 320).astype(np.float32)
    with sdk.create_audio_processor(attrs) as processor:
        emitted = sum(processor.process_frame(m.AudioFrame(noise)).frame_count for _ in range(20))
    assert emitted > 0, "denoise emitted nothing"
    print(f"denoise through the SDK {sdk.version}: {emitted} samples")
