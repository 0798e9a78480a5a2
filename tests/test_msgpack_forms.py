"""The MessagePack forms the core writes, row by row at their boundaries."""

import math
import os
import sys

import pytest

import sarv._sarv_testing as native


def zeros(n):
    return b"\x00" * n


@pytest.mark.parametrize(
    "text, expected_head",
    [
        ("", b"\xa0"),
        ("a" * 31, b"\xbf"),
        ("a" * 32, b"\xd9\x20"),
        ("\u00e9" * 16, b"\xd9\x20"),  # 16 characters, 32 bytes: lengths count bytes
        ("a" * 255, b"\xd9\xff"),
        ("a" * 256, b"\xda\x01\x00"),
        ("a" * 65535, b"\xda\xff\xff"),
        ("a" * 65536, b"\xdb\x00\x01\x00\x00"),
    ],
)
def test_text(text, expected_head):
    assert native.write_value("str", text) == expected_head + text.encode()


UNSIGNED = [
    (0, b"\x00"),
    (127, b"\x7f"),
    (128, b"\xcc\x80"),
    (255, b"\xcc\xff"),
    (256, b"\xcd\x01\x00"),
    (65535, b"\xcd\xff\xff"),
    (65536, b"\xce\x00\x01\x00\x00"),
    (2**32 - 1, b"\xce\xff\xff\xff\xff"),
    (2**32, b"\xcf\x00\x00\x00\x01\x00\x00\x00\x00"),
    (2**64 - 1, b"\xcf" + b"\xff" * 8),
]


@pytest.mark.parametrize("value, expected", UNSIGNED)
def test_unsigned(value, expected):
    assert native.write_value("uint", value) == expected
    assert native.write_int_pair("n", value) == b"\xa1n" + expected


@pytest.mark.parametrize(
    "value, expected",
    [
        (-1, b"\xff"),
        (-32, b"\xe0"),
        (-33, b"\xd0\xdf"),
        (-128, b"\xd0\x80"),
        (-129, b"\xd1\xff\x7f"),
        (-32768, b"\xd1\x80\x00"),
        (-32769, b"\xd2\xff\xff\x7f\xff"),
        (-(2**31), b"\xd2\x80\x00\x00\x00"),
        (-(2**31) - 1, b"\xd3\xff\xff\xff\xff\x7f\xff\xff\xff"),
        (-(2**63), b"\xd3\x80" + zeros(7)),
        # Signed values that are not negative use the unsigned rows.
        (0, b"\x00"),
        (127, b"\x7f"),
        (128, b"\xcc\x80"),
        (65536, b"\xce\x00\x01\x00\x00"),
        (2**63 - 1, b"\xcf\x7f" + b"\xff" * 7),
    ],
)
def test_signed(value, expected):
    assert native.write_value("int", value) == expected


@pytest.mark.parametrize(
    "value, expected",
    [
        (1.0, b"\xcb\x3f\xf0" + zeros(6)),
        (0.0, b"\xcb" + zeros(8)),
        (2.0, b"\xcb\x40" + zeros(7)),
        (-3.0, b"\xcb\xc0\x08" + zeros(6)),
        (0.5, b"\xcb\x3f\xe0" + zeros(6)),  # exact in float 32 too, still float 64
        (1e300, b"\xcb\x7e\x37\xe4\x3c\x88\x00\x75\x9c"),
        (math.inf, b"\xcb\x7f\xf0" + zeros(6)),
        (-math.inf, b"\xcb\xff\xf0" + zeros(6)),
        (math.nan, b"\xcb\x7f\xf8" + zeros(6)),
    ],
)
def test_float_is_always_float64(value, expected):
    assert native.write_value("f64", value) == expected
    assert native.write_f64_pair("timestamp", value) == b"\xa9timestamp" + expected


def test_nil():
    assert native.write_value("nil", None) == b"\xc0"


@pytest.mark.parametrize(
    "count, map_header, array_header",
    [
        (0, b"\x80", b"\x90"),
        (15, b"\x8f", b"\x9f"),
        (16, b"\xde\x00\x10", b"\xdc\x00\x10"),
        (65535, b"\xde\xff\xff", b"\xdc\xff\xff"),
        (65536, b"\xdf\x00\x01\x00\x00", b"\xdd\x00\x01\x00\x00"),
    ],
)
def test_container_headers(count, map_header, array_header):
    assert native.write_value("map", count) == map_header
    assert native.write_value("array", count) == array_header


@pytest.mark.parametrize(
    "key, value, expected",
    [
        ("qualname", None, b"\xa8qualname\xc0"),
        ("qualname", "", b"\xa8qualname\xa0"),
        ("trace_id", "trc_" + "0" * 26, b"\xa8trace_id\xbe" + b"trc_" + b"0" * 26),
        ("k" * 32, "v", b"\xd9\x20" + b"k" * 32 + b"\xa1v"),
    ],
)
def test_str_pair(key, value, expected):
    assert native.write_str_pair(key, value) == expected


def test_raw_pair_copies_verbatim_and_empties_the_value():
    value = b"\x93\x01\xa1x\xc0"  # written unchecked: it is already MessagePack
    assert native.write_raw_pair("arg", value) == (b"\xa3arg" + value, 0)


@pytest.mark.parametrize(
    "count, header",
    [(0, b"\x90"), (1, b"\x91"), (15, b"\x9f"), (16, b"\xdc\x00\x10"), (65536, b"\xdd\x00\x01\x00\x00")],
)
def test_raw_frames_header_counts_records(count, header):
    records = [bytes([0x81, 0xA1, 0x69]) + native.write_value("uint", i) for i in range(count)]
    assert native.write_raw_frames(records) == header + b"".join(records)


@pytest.fixture
def serializer(companion, monkeypatch):
    """Makes the companion serialisers return the given value; records what they got."""
    received = []

    def returning(result, lightweight_result=None):
        def plain(obj):
            received.append(("plain", obj))
            return result

        def lightweight(obj):
            received.append(("lightweight", obj))
            return lightweight_result

        monkeypatch.setattr(companion.serialize, "dump_msgpack", plain)
        monkeypatch.setattr(companion.serialize, "dump_msgpack_lightweight_repr", lightweight)
        return received

    return returning


@pytest.mark.parametrize(
    "result, expected",
    [
        (b"\x92\x01\xc0", b"\x92\x01\xc0"),
        (bytearray(b"\x92\x01\xc0"), b"\x92\x01\xc0"),
        ([0x92, 0, 255], b"\x92\x00\xff"),
        ((0xC3,), b"\xc3"),
        (b"", b""),
    ],
)
def test_dump_msgpack_accepts_byte_sequences(serializer, result, expected):
    obj = object()
    received = serializer(result)
    assert native.dump_msgpack(obj) == expected
    assert received == [("plain", obj)]


def test_dump_msgpack_lightweight_uses_its_own_function(serializer):
    obj = {"a": 1}
    received = serializer(b"\xc2", b"\xc3")
    assert native.dump_msgpack(obj, True) == b"\xc3"
    assert received == [("lightweight", obj)]


@pytest.mark.parametrize(
    "result, error, message",
    [
        ("\x92\x01\xc0", TypeError, "Can't extract `str` to `Vec`"),
        ([1, 256], OverflowError, None),
        ([-1], OverflowError, None),
        ([1, "a"], TypeError, None),
        ([1, 2.0], TypeError, None),
        (5, TypeError, "'int' object cannot be converted to 'Sequence'"),
        ({1, 2}, TypeError, "'set' object cannot be converted to 'Sequence'"),
        (None, TypeError, None),
    ],
)
def test_dump_msgpack_refuses_other_results(serializer, result, error, message):
    serializer(result)
    with pytest.raises(error) as info:
        native.dump_msgpack(object())
    if message is not None:
        assert str(info.value) == message


def test_dump_msgpack_errors_of_the_companion_pass_through(companion, monkeypatch):
    failure = ValueError("cannot encode")

    def broken(obj):
        raise failure

    monkeypatch.setattr(companion.serialize, "dump_msgpack", broken)
    with pytest.raises(ValueError) as info:
        native.dump_msgpack(1)
    assert info.value is failure

    monkeypatch.delattr(companion.serialize, "dump_msgpack")
    with pytest.raises(AttributeError):
        native.dump_msgpack(1)

    monkeypatch.setitem(sys.modules, "sarv.serialize", None)
    with pytest.raises(ImportError):
        native.dump_msgpack(1)


CROCKFORD = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"


@pytest.mark.parametrize(
    "millis, high, low",
    [
        (0, 0, 0),
        (2**48 - 1, 2**16 - 1, 2**64 - 1),
        (1469918176385, 0x1234, 0xFEDCBA9876543210),
        (1, 1, 1),
        (2**47, 2**15, 2**63),
        (2**48 + 5, 0, 0),  # millis beyond 48 bits: low 48 kept
    ],
)
def test_ulid_text_is_the_130_bit_value_in_base32(millis, high, low):
    value = ((millis % 2**48) << 80) | (high << 64) | low
    expected = "".join(CROCKFORD[(value >> (5 * i)) & 31] for i in reversed(range(26)))
    assert native.format_ulid(millis, high, low) == expected


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
def test_a_forked_child_draws_ids_of_its_own():
    native.new_frame_id()  # the generator is seeded before the fork
    reader, writer = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.write(writer, native.new_frame_id().encode())
        finally:
            os._exit(0)
    os.close(writer)
    child = os.read(reader, 64).decode()
    os.close(reader)
    os.waitpid(pid, 0)
    parent = native.new_frame_id()
    assert len(child) == len(parent) == 30 and child[14:] != parent[14:]  # the random parts
