import ctypes
import gc
import weakref

import numpy as np
import pytest

import _tavix_module as m
from helpers import unless_emulated

MAX_COUNT = 2**32 - 1
DL_CPU, DL_CUDA, DL_ROCM = 1, 2, 10


def address_of(view):
    return np.asarray(view).__array_interface__["data"][0]


class DLTensor(ctypes.Structure):
    _fields_ = [("data", ctypes.c_void_p), ("device_type", ctypes.c_int32),
                ("device_id", ctypes.c_int32), ("ndim", ctypes.c_int32),
                ("dtype_code", ctypes.c_uint8), ("dtype_bits", ctypes.c_uint8),
                ("dtype_lanes", ctypes.c_uint16), ("shape", ctypes.POINTER(ctypes.c_int64)),
                ("strides", ctypes.c_void_p), ("byte_offset", ctypes.c_uint64),
                ("manager_ctx", ctypes.c_void_p), ("deleter", ctypes.c_void_p)]


_capsule_new = ctypes.pythonapi.PyCapsule_New
_capsule_new.restype = ctypes.py_object
_capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
_DLTENSOR = ctypes.c_char_p(b"dltensor")


class ClaimedDeviceArray:
    """A DLPack producer over host memory that claims any device (a GPU without a GPU)."""

    def __init__(self, device_type, values):
        self.memory = (ctypes.c_float * len(values))(*values)
        self.shape = (ctypes.c_int64 * 1)(len(values))
        data = ctypes.addressof(self.memory) if values else None
        self.tensor = DLTensor(data, device_type, 0, 1, 2, 32, 1, self.shape)

    def __dlpack__(self, **kwargs):
        return _capsule_new(ctypes.addressof(self.tensor), _DLTENSOR, None)

    def __dlpack_device__(self):
        return (self.tensor.device_type, 0)


def test_frame_is_a_read_only_view_of_the_callers_array():
    samples = np.linspace(-1.0, 1.0, 480, dtype=np.float32)
    frame = m.AudioFrame(samples)
    view = frame.samples

    assert frame.frame_count == 480
    assert (len(view), view.format, view.itemsize, view.ndim, view.readonly) == (480, "f", 4, 1, True)
    assert view.tolist() == samples.tolist()
    assert address_of(view) == address_of(frame.samples) == samples.ctypes.data
    assert frame.samples is not view
    samples[7] = 0.25
    assert frame.samples[7] == 0.25
    with pytest.raises(TypeError):
        view[0] = 1.0
    for name in ("samples", "frame_count"):
        with pytest.raises(AttributeError):
            setattr(frame, name, None)


def test_frame_keeps_its_array_alive_until_the_frame_goes():
    samples = np.arange(16, dtype=np.float32)
    alive = weakref.ref(samples)
    frame = m.AudioFrame(samples=samples)
    del samples
    gc.collect()
    assert alive() is not None and frame.samples.tolist() == list(range(16))
    del frame
    gc.collect()
    assert alive() is None


def test_float64_array_is_viewed_through_a_kept_float32_copy():
    original = np.arange(8, dtype=np.float64) / 4
    frame = m.AudioFrame(original)
    original[0] = 5.0  # the copy does not follow its source
    del original
    gc.collect()
    decoys = [np.full(8, 99.0, dtype=np.float32) for _ in range(8)]  # would take freed memory
    assert frame.samples.tolist() == [i / 4 for i in range(8)]
    del decoys


def test_an_offset_slice_is_viewed_at_its_own_start():
    base = np.arange(10, dtype=np.float32)
    frame = m.AudioFrame(base[3:7])
    assert frame.samples.tolist() == [3.0, 4.0, 5.0, 6.0]
    assert address_of(frame.samples) == base[3:].ctypes.data


@pytest.mark.parametrize(
    "source",
    [np.zeros(0, dtype=np.float32), ClaimedDeviceArray(DL_CPU, [])],
    ids=["empty-array", "no-memory-at-all"],
)
def test_empty_source_gives_an_empty_float_view(source):
    frame = m.AudioFrame(source)
    view = frame.samples
    assert frame.frame_count == 0
    assert (len(view), view.format, view.readonly, bytes(view)) == (0, "f", True, b"")


def read_only_array():
    samples = np.ones(4, dtype=np.float32)
    samples.flags.writeable = False
    return samples


@pytest.mark.parametrize(
    "args",
    [(), (None,), (np.ones((2, 3), dtype=np.float32),), (np.ones(4, dtype=np.complex64),),
     ([0.0, 1.0],), (memoryview(bytes(8)).cast("f"),), (read_only_array(),), ("samples",)],
    ids=["missing", "none", "two-dimensional", "complex", "list", "read-only-memoryview",
         "read-only-array", "str"],
)
def test_unconvertible_arguments_are_refused(args):
    with pytest.raises(TypeError):
        m.AudioFrame(*args)


def test_host_dlpack_producer_is_viewed_in_place():
    source = ClaimedDeviceArray(DL_CPU, [1.0, 2.0, 3.0])
    frame = m.AudioFrame(source)
    assert frame.samples.tolist() == [1.0, 2.0, 3.0]
    assert address_of(frame.samples) == ctypes.addressof(source.memory)


@pytest.mark.parametrize("device_type", [DL_CUDA, DL_ROCM])
def test_array_outside_host_memory_is_refused(device_type):
    with pytest.raises(ValueError, match="host \\(CPU\\) memory"):
        m.AudioFrame(ClaimedDeviceArray(device_type, [1.0, 2.0]))


@pytest.fixture
def sparse_array(tmp_path):
    """A real float32 array of any length over a sparse file: no RAM or disk is used."""
    paths = []

    def make(count):
        paths.append(tmp_path / f"{count}.f32")
        with open(paths[-1], "wb") as file:
            file.truncate(count * 4)
        return np.memmap(paths[-1], dtype=np.float32, mode="r+", shape=(count,))

    yield make
    for path in paths:
        path.unlink()


def test_the_largest_describable_array_is_viewed_whole(sparse_array):
    samples = sparse_array(MAX_COUNT)
    frame = m.AudioFrame(samples)
    samples[-1] = 3.0
    assert frame.frame_count == len(frame.samples) == MAX_COUNT
    assert frame.samples[-1] == 3.0


@pytest.mark.parametrize("count", [
    MAX_COUNT + 1,
    pytest.param(MAX_COUNT + 2**32 + 5, marks=unless_emulated("no room to map a 32 GiB file")),
])
def test_array_longer_than_the_count_can_hold_is_refused(sparse_array, count):
    with pytest.raises(ValueError, match="at most 4294967295 samples"):
        m.AudioFrame(sparse_array(count))
