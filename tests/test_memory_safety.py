"""Plain Python code cannot crash, corrupt or outlive memory through frames.

Cases that crashed once run in a child interpreter, so that a regression fails
its test instead of ending the test run; races are looped there.
"""

import array
import gc
import mmap
import textwrap
import weakref

import numpy as np
import pytest

import _tavix_module as m
from helpers import DEMO_KEY, run_python

PRELUDE = f"""
import gc, threading
import numpy as np
import _tavix_module as m
from helpers import processor_attrs

def local_processor(tmp, model="passthrough", rate=16000):
    sdk = m.create_sdk(m.InitParams(tmp))
    assert sdk.activate_api_key({DEMO_KEY!r}).success
    return sdk.create_audio_processor(processor_attrs(model, rate, local=True))

def churn():
    # Reuses freed memory, so that a dangling view reads someone else's data.
    sizes = [320, 1600, 3200] * 300 + [1 << 20] * 8
    return [np.full(n, -7.0, np.float32) for n in sizes]
"""


def run_in_child(body, tmp_path):
    code = PRELUDE + f"\nTMP = {str(tmp_path)!r}\n" + textwrap.dedent(body)
    result = run_python(code)
    assert result.returncode == 0, result.stdout + result.stderr


# --- a view keeps its memory alive ------------------------------------------


VIEWS_OUTLIVING_THEIR_FRAME = {
    "input frame": """
        v = m.AudioFrame(np.full(1 << 20, .5, np.float32)).samples
        junk = churn()
        assert v[0] == .5 and v[-1] == .5
    """,
    "output frame after close": """
        p = local_processor(TMP)
        out = m.AudioFrame(np.zeros(0, np.float32))
        while out.frame_count == 0:
            out = p.process_frame(m.AudioFrame(np.full(1600, .5, np.float32)))
        v = out.samples
        p.close(); del p, out
        junk = churn()
        assert set(np.frombuffer(v, np.float32)) <= {0.0, .5}
    """,
    "output frame after the next call": """
        p = local_processor(TMP)
        outs, kept = [], []
        for k in range(1, 30):
            outs.append(p.process_frame(m.AudioFrame(np.full(1600, k / 100, np.float32))))
            kept.append(np.frombuffer(outs[-1].samples, np.float32).copy())
        junk = churn()
        for out, copy in zip(outs, kept):
            assert np.array_equal(np.frombuffer(out.samples, np.float32), copy)
    """,
    # Output buffers are recycled when their frame is freed: a view must keep
    # its frame's buffer out of that, while frames freed at once around it,
    # of other sizes, hand theirs on.
    "output view after its frame is freed and later calls recycle buffers": """
        p = local_processor(TMP)
        views = []
        for k in range(1, 40):
            v = p.process_frame(m.AudioFrame(np.full(320 * (1 + k % 5), k / 100, np.float32))).samples
            views.append((v, np.frombuffer(v, np.float32).copy()))
            for size in (320, 1600, 320 * 7):
                p.process_frame(m.AudioFrame(np.full(size, -1.0, np.float32)))
        for v, copy in views:
            assert np.array_equal(np.frombuffer(v, np.float32), copy)
    """,
}


@pytest.mark.parametrize("body", VIEWS_OUTLIVING_THEIR_FRAME.values(), ids=VIEWS_OUTLIVING_THEIR_FRAME)
def test_a_view_outlives_its_frame_safely(body, tmp_path):
    run_in_child(body, tmp_path)


def test_a_view_keeps_the_frame_and_its_array_alive_without_copying():
    samples = np.arange(8, dtype=np.float32)
    view = m.AudioFrame(samples).samples
    array_ref = weakref.ref(samples)
    del samples
    gc.collect()
    samples = array_ref()
    samples[3] = 42.0  # a view, not a copy
    assert (view.format, view.readonly, view[3]) == ("f", True, 42.0)
    del samples, view
    gc.collect()
    assert array_ref() is None


def test_every_read_is_a_new_view():
    frame = m.AudioFrame(np.ones(4, np.float32))
    first, second = frame.samples, frame.samples
    assert first is not second
    first.release()
    assert second.tolist() == [1.0] * 4


# --- returned frames are refilled only once nothing else holds them ---------


# How a loop holds what process_frame returned: what it keeps of each result,
# and for how many calls after (None: to the end).
HOLDING_RESULTS = {
    "dropped at once": ("None", 0),
    "the previous result, while the next is made": ("out", 1),
    "the previous result's view": ("out.samples", 1),
    "an array over the last two results": ("np.frombuffer(out.samples, np.float32)", 2),
    "every result": ("out", None),
}


@pytest.mark.parametrize(("hold", "calls"), HOLDING_RESULTS.values(), ids=HOLDING_RESULTS)
def test_outputs_are_the_same_however_the_results_are_held(hold, calls, tmp_path):
    # Sizes change from call to call (a refilled frame must take the new
    # count) and every input sample is distinct, so a result rewritten
    # while something still held it, or a stale length, shows.
    run_in_child(
        f"""
        CALLS = {calls!r}
        sizes = [320, 960, 320, 640, 1600, 320, 320, 960] * 6
        inputs, start = [], 1
        for size in sizes:
            inputs.append(np.arange(start, start + size, dtype=np.float32) / (1 << 20))
            start += size
        expected = np.concatenate(inputs)

        def read(thing):
            return np.frombuffer(getattr(thing, "samples", thing), np.float32).copy()

        def check(thing, copy):
            assert np.array_equal(read(thing), copy), "a held result changed"

        p = local_processor(TMP)
        seen, kept = [], []
        for x in inputs:
            out = p.process_frame(m.AudioFrame(x))
            seen.append(read(out))
            assert out.frame_count == seen[-1].size
            thing = {hold}
            if thing is not None:
                kept.append((thing, read(thing)))
            while CALLS is not None and len(kept) > CALLS:
                check(*kept.pop(0))
            del out, thing
            junk = churn()
        for thing, copy in kept:
            check(thing, copy)
        got = np.concatenate(seen)
        real = got[got != 0]
        assert real.size > 0 and np.array_equal(real, expected[:real.size])
        """,
        tmp_path,
    )


# --- one processor, several threads ---------------------------------------


def test_two_threads_on_one_processor_never_share_an_output(tmp_path):
    # Every input sample is distinct (exact in float32), so a sample seen
    # twice in the output means one call's output was rewritten under another.
    run_in_child(
        """
        CHUNK, CALLS = 320, 200
        for _ in range(3):
            p = local_processor(TMP)
            counter = iter(range(1, 1 << 23))
            take = threading.Lock()
            seen = [[], []]
            def push(i):
                for _ in range(CALLS):
                    with take:
                        chunk = np.array([next(counter) for _ in range(CHUNK)], np.float32) / (1 << 23)
                    seen[i].append(np.frombuffer(p.process_frame(m.AudioFrame(chunk)).samples,
                                                 np.float32).copy())
            threads = [threading.Thread(target=push, args=(i,)) for i in range(2)]
            for t in threads: t.start()
            for t in threads: t.join()
            out = np.concatenate(seen[0] + seen[1])
            real = out[out != 0]
            assert len(real) == len(set(real.tolist())), "a sample came out twice"
            assert len(out) > 0
            p.close()
        """,
        tmp_path,
    )


def test_close_racing_process_frame(tmp_path):
    run_in_child(
        """
        for _ in range(20):
            p = local_processor(TMP)
            frames = []
            def push():
                try:
                    while True:
                        frames.append(p.process_frame(m.AudioFrame(np.full(320, .5, np.float32))))
                except RuntimeError as e:
                    assert str(e) == "process_frame called on a closed AudioProcessor"
            t = threading.Thread(target=push)
            t.start()
            while len(frames) < 20: pass
            p.close()
            t.join()
            junk = churn()
            for f in frames:
                assert set(np.frombuffer(f.samples, np.float32)) <= {0.0, .5}
        """,
        tmp_path,
    )


# --- the frame holds its source's export ------------------------------------


def test_a_framed_array_refuses_to_resize():
    source = array.array("f", [0.5] * 16)
    frame = m.AudioFrame(source)
    with pytest.raises(BufferError):
        source.extend([0.0] * 1024)
    assert frame.samples.tolist() == [0.5] * 16
    del frame
    source.extend([0.0] * 1024)  # free again once the frame is gone


def test_a_map_under_a_framed_memoryview_cannot_be_closed():
    mapped = mmap.mmap(-1, 4096)
    mapped[:4] = array.array("f", [0.75]).tobytes()
    view = memoryview(mapped).cast("f")
    frame = m.AudioFrame(view)
    with pytest.raises(BufferError):
        view.release()
    with pytest.raises(BufferError):
        mapped.close()
    assert frame.samples[0] == 0.75
    del frame
    view.release()
    mapped.close()


def test_ctypes_arrays_are_viewed(tmp_path):
    # ctypes leaves the strides of its buffer null; reading them crashed.
    run_in_child(
        """
        import ctypes
        values = (ctypes.c_float * 4)(1, 2, 3, 4)
        frame = m.AudioFrame(values)
        assert frame.samples.tolist() == [1, 2, 3, 4]
        values[0] = 9
        assert frame.samples[0] == 9  # in place
        assert m.AudioFrame((ctypes.c_float * 0)()).frame_count == 0
        """,
        tmp_path,
    )


# --- integer PCM is refused, not silently misread ---------------------------


@pytest.mark.parametrize(
    "source, name",
    [(np.array([32767, -32768], np.int16), "int16"), (np.arange(3, dtype=np.int32), "int32"),
     (np.arange(3, dtype=np.uint8), "uint8"), (np.ones(2, bool), "bool"),
     (array.array("h", [1, 2]), "int16")],
    ids=["int16", "int32", "uint8", "bool", "array-h"],
)
def test_integer_and_boolean_samples_are_refused(source, name):
    with pytest.raises(TypeError, match=rf"not a {name} array: scale integer PCM to \[-1, 1\]"):
        m.AudioFrame(source)


@pytest.mark.parametrize("dtype", [np.float64, np.float16])
def test_other_float_arrays_still_convert(dtype):
    frame = m.AudioFrame(np.array([0.5, -0.25], dtype))
    assert frame.samples.tolist() == [0.5, -0.25]


# --- strings that reach the file system -------------------------------------


def test_embedded_nul_in_storage_dir_is_refused(tmp_path):
    with pytest.raises(ValueError, match="^embedded null byte$"):
        m.InitParams(str(tmp_path / "a\0b"))
    params = m.InitParams(str(tmp_path / "ok"))
    with pytest.raises(ValueError, match="^embedded null byte$"):
        params.storage_dir = str(tmp_path / "a\0b")
    assert params.storage_dir == str(tmp_path / "ok")
    assert list(tmp_path.iterdir()) == []
