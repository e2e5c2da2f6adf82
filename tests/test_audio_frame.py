import ctypes
import gc
import weakref

import numpy as np
import pytest

import _tavix_module as tx

MAX_COUNT = 2**32 - 1


def address_of(view):
    return np.asarray(view).__array_interface__["data"][0]


def test_frame_views_the_callers_array_without_copying():
    samples = np.linspace(-1.0, 1.0, 480, dtype=np.float32)
    frame = tx.AudioFrame(samples)

    view = frame.samples
    assert frame.frame_count == 480
    assert (len(view), view.format, view.itemsize, view.ndim) == (480, "f", 4, 1)
    assert view.readonly
    assert view.tolist() == samples.tolist()
    assert address_of(view) == samples.ctypes.data

    samples[7] = 0.25
    assert frame.samples[7] == 0.25


def test_frame_keeps_its_array_alive_and_releases_it_with_the_frame():
    samples = np.arange(16, dtype=np.float32)
    alive = weakref.ref(samples)
    frame = tx.AudioFrame(samples=samples)
    del samples
    gc.collect()

    assert alive() is not None
    assert frame.samples.tolist() == list(range(16))

    del frame
    gc.collect()
    assert alive() is None


def test_float64_array_is_viewed_through_a_kept_float32_copy():
    original = np.arange(8, dtype=np.float64) / 4
    frame = tx.AudioFrame(original)
    del original
    gc.collect()
    # Same-sized buffers would take the copy's memory had it been freed.
    decoys = [np.full(8, 99.0, dtype=np.float32) for _ in range(8)]

    assert frame.samples.tolist() == [i / 4 for i in range(8)]
    del decoys


def test_writes_to_a_converted_array_do_not_show_through():
    original = np.zeros(4, dtype=np.float64)
    frame = tx.AudioFrame(original)
    original[0] = 5.0
    assert frame.samples[0] == 0.0


def test_an_offset_slice_is_viewed_at_its_own_start():
    base = np.arange(10, dtype=np.float32)
    frame = tx.AudioFrame(base[3:7])
    assert frame.samples.tolist() == [3.0, 4.0, 5.0, 6.0]
    assert address_of(frame.samples) == base[3:].ctypes.data


def test_empty_array_gives_an_empty_float_view():
    frame = tx.AudioFrame(np.zeros(0, dtype=np.float32))
    view = frame.samples
    assert frame.frame_count == 0
    assert (len(view), view.format, view.readonly) == (0, "f", True)
    assert bytes(view) == b""


def test_every_read_is_a_new_view_over_the_same_memory():
    samples = np.ones(4, dtype=np.float32)
    frame = tx.AudioFrame(samples)
    first, second = frame.samples, frame.samples
    assert first is not second
    assert address_of(first) == address_of(second) == samples.ctypes.data


def test_views_and_properties_are_read_only():
    frame = tx.AudioFrame(np.ones(4, dtype=np.float32))
    with pytest.raises(TypeError):
        frame.samples[0] = 1.0
    for name in ("samples", "frame_count"):
        with pytest.raises(AttributeError):
            setattr(frame, name, None)


def read_only_array():
    samples = np.ones(4, dtype=np.float32)
    samples.flags.writeable = False
    return samples


@pytest.mark.parametrize(
    "argument",
    [
        None,
        np.ones((2, 3), dtype=np.float32),
        np.ones(4, dtype=np.complex64),
        [0.0, 1.0],
        memoryview(b"\0" * 8).cast("f"),
        read_only_array(),
        "samples",
    ],
    ids=["none", "two-dimensional", "complex", "list", "read-only-memoryview", "read-only-array",
         "str"],
)
def test_unconvertible_arguments_are_refused(argument):
    with pytest.raises(TypeError):
        tx.AudioFrame(argument)


def test_constructor_requires_the_samples():
    with pytest.raises(TypeError):
        tx.AudioFrame()


# A DLPack producer over real host memory that can claim to live on any device,
# so the device check can be exercised without a GPU.
class _DLDevice(ctypes.Structure):
    _fields_ = [("device_type", ctypes.c_int32), ("device_id", ctypes.c_int32)]


class _DLDataType(ctypes.Structure):
    _fields_ = [("code", ctypes.c_uint8), ("bits", ctypes.c_uint8), ("lanes", ctypes.c_uint16)]


class _DLTensor(ctypes.Structure):
    _fields_ = [
        ("data", ctypes.c_void_p),
        ("device", _DLDevice),
        ("ndim", ctypes.c_int32),
        ("dtype", _DLDataType),
        ("shape", ctypes.POINTER(ctypes.c_int64)),
        ("strides", ctypes.POINTER(ctypes.c_int64)),
        ("byte_offset", ctypes.c_uint64),
    ]


class _DLManagedTensor(ctypes.Structure):
    _fields_ = [("dl_tensor", _DLTensor), ("manager_ctx", ctypes.c_void_p),
                ("deleter", ctypes.c_void_p)]


_capsule_new = ctypes.pythonapi.PyCapsule_New
_capsule_new.restype = ctypes.py_object
_capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
_CAPSULE_NAME = ctypes.c_char_p(b"dltensor")
DL_CPU, DL_CUDA, DL_ROCM = 1, 2, 10


class ClaimedDeviceArray:
    def __init__(self, device_type, values):
        self.memory = (ctypes.c_float * len(values))(*values)
        self.shape = (ctypes.c_int64 * 1)(len(values))
        data = ctypes.cast(self.memory, ctypes.c_void_p) if values else None
        tensor = _DLTensor(data, _DLDevice(device_type, 0), 1, _DLDataType(2, 32, 1), self.shape,
                           None, 0)
        self.managed = _DLManagedTensor(tensor, None, None)
        self.device_type = device_type

    def __dlpack__(self, **kwargs):
        return _capsule_new(ctypes.addressof(self.managed), _CAPSULE_NAME, None)

    def __dlpack_device__(self):
        return (self.device_type, 0)


def test_host_dlpack_producer_is_accepted():
    frame = tx.AudioFrame(ClaimedDeviceArray(DL_CPU, [1.0, 2.0, 3.0]))
    assert frame.samples.tolist() == [1.0, 2.0, 3.0]


def test_empty_array_without_memory_gives_an_empty_float_view():
    frame = tx.AudioFrame(ClaimedDeviceArray(DL_CPU, []))
    view = frame.samples
    assert frame.frame_count == 0
    assert (len(view), view.format, bytes(view)) == (0, "f", b"")


@pytest.mark.parametrize("device_type", [DL_CUDA, DL_ROCM])
def test_array_outside_host_memory_is_refused(device_type):
    with pytest.raises(ValueError, match="host \\(CPU\\) memory"):
        tx.AudioFrame(ClaimedDeviceArray(device_type, [1.0, 2.0]))


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
    frame = tx.AudioFrame(samples)
    samples[-1] = 3.0
    assert frame.frame_count == MAX_COUNT
    assert len(frame.samples) == MAX_COUNT
    assert frame.samples[-1] == 3.0


@pytest.mark.parametrize("count", [MAX_COUNT + 1, MAX_COUNT + 2**32 + 5])
def test_array_longer_than_the_count_can_hold_is_refused(sparse_array, count):
    with pytest.raises(ValueError, match="at most 4294967295 samples"):
        tx.AudioFrame(sparse_array(count))
