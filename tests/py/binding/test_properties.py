"""Properties of the binding's argument conversions, each checked against a
model of the rules on generated arguments: Message words, Config fields,
the call timeout's milliseconds, and Window offsets and values on a real
simulated window.  Examples are derandomized and bounded, so a run is
repeatable and short."""
import errno
import math
import struct
from decimal import ROUND_HALF_UP, Decimal

import numpy
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _nrhal_probe as probe
import nrhal
import nrsim
from conftest import raises_errno
from nrhal.smc import Message
from nrhal.tlb import Caching, Config, Size

U32_MAX = 2**32 - 1
U64_MAX = 2**64 - 1
I64 = range(-(2**63), 2**63)


def bounded(n):
    # A fixture made once per test serves all of its examples.
    return settings(max_examples=n, derandomize=True, deadline=None, database=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])


def around(*points, spread=3):
    return st.one_of(*(st.integers(p - spread, p + spread) for p in points))


def not_an_int():
    return st.one_of(st.floats(allow_nan=False), st.text(max_size=2), st.none(), st.just(b"\x01"),
                     st.just(numpy.float64(1.0)), st.just([1]))


def overflow_text(value):
    """The message of an out-of-range conversion, where it is fixed."""
    if value not in I64:
        return None
    return "^number too small to fit in target type$" if value < 0 else "^number too large to fit in target type$"


# ---- Message --------------------------------------------------------------

word_elements = st.one_of(
    st.integers(0, U32_MAX),
    st.integers(0, U32_MAX),
    around(0, U32_MAX, 2**63, -(2**63)),
    st.integers(-(2**70), 2**70),
    st.booleans(),
    st.integers(0, U32_MAX).map(numpy.uint32),
    st.floats(allow_nan=False),
)


def message_outcome(items):
    """What converting `items` gives: the eight words, or (exception, match)."""
    if len(items) > 8:  # the length before any element
        return ValueError, "^message must have at most 8 elements$"
    for x in items:
        if not isinstance(x, (int, numpy.integer)):
            return TypeError, "'message'"
        if not 0 <= int(x) <= U32_MAX:
            return OverflowError, overflow_text(int(x))
    return [int(x) for x in items] + [0] * (8 - len(items))


@bounded(300)
@given(items=st.one_of(st.lists(word_elements, max_size=11), st.lists(st.integers(0, U32_MAX), max_size=11)),
       kind=st.sampled_from([list, tuple]),
       before=st.lists(st.integers(0, U32_MAX), min_size=8, max_size=8))
def test_message_words(items, kind, before):
    want = message_outcome(items)
    seq = kind(items)
    m = Message(before)
    if isinstance(want, list):
        assert Message(seq).message == want
        assert Message(message=seq).message == want
        m.message = seq
        assert m.message == want
        assert repr(m) == f"Message(message={want})"
    else:
        exc, match = want
        with pytest.raises(exc, match=match):
            Message(seq)
        with pytest.raises(exc, match=match):
            m.message = seq
        assert m.message == before  # a refused value changes nothing


# ---- Config ---------------------------------------------------------------

CONFIG_FIELDS = [("addr", 64), ("x_end", 8), ("y_end", 8), ("x_start", 8), ("y_start", 8), ("noc", 8),
                 ("mcast", None), ("linked", None), ("static_vc", 8)]
REQUIRED = 3
DEFAULTS = {"x_start": 0, "y_start": 0, "noc": 0, "mcast": False, "linked": False, "static_vc": 0}


def field_values(bits):
    if bits is None:  # True or False only; an int is a wrong type
        return st.one_of(st.booleans(), st.booleans().map(numpy.bool_), st.integers(0, 1), not_an_int())
    top = 2**bits - 1
    return st.one_of(st.integers(0, top), st.integers(0, top), around(0, top, 2**64), st.integers(-(2**70), 2**70),
                     st.integers(0, min(top, 2**63 - 1)).map(numpy.int64), not_an_int())


def field_outcome(name, bits, v):
    """The field's value, or (exception, match)."""
    if bits is None:
        if v is True or v is False:  # a NumPy bool only where the open flags take one
            return v
        return TypeError, f"'{name}'"
    if not isinstance(v, (int, numpy.integer)):
        return TypeError, f"'{name}'"
    if not 0 <= int(v) < 2**bits:
        return OverflowError, overflow_text(int(v))
    return int(v)


@st.composite
def config_calls(draw):
    """(positional args, keyword args, the given values by name)."""
    given_values = {}
    for i, (name, bits) in enumerate(CONFIG_FIELDS):
        if i < REQUIRED or draw(st.booleans()):
            given_values[name] = draw(field_values(bits))
    names = [n for n, _ in CONFIG_FIELDS]
    # Positional for an unbroken run from the start, keywords for the rest.
    run = 0
    while run < len(names) and names[run] in given_values:
        run += 1
    npos = draw(st.integers(0, run))
    args = [given_values[n] for n in names[:npos]]
    kwargs = {n: v for n, v in given_values.items() if names.index(n) >= npos}
    return args, kwargs, given_values


@bounded(300)
@given(call=config_calls())
def test_config_fields(call):
    args, kwargs, given_values = call
    want = dict(DEFAULTS)
    for name, bits in CONFIG_FIELDS:  # in order: the first bad field raises
        if name not in given_values:
            continue
        got = field_outcome(name, bits, given_values[name])
        if isinstance(got, tuple):
            exc, match = got
            with pytest.raises(exc, match=match):
                Config(*args, **kwargs)
            return
        want[name] = got
    cfg = Config(*args, **kwargs)
    for name, _ in CONFIG_FIELDS:
        assert getattr(cfg, name) == want[name]
        assert type(getattr(cfg, name)) is (bool if name in ("mcast", "linked") else int)
    assert repr(cfg) == (f"Config(addr=0x{want['addr']:016x}, x_end={want['x_end']}, y_end={want['y_end']}, "
                         f"noc={want['noc']})")


# ---- the call timeout -----------------------------------------------------

BAD_TIMEOUT = "^timeout must be a non-negative number of seconds$"

timeouts = st.one_of(
    st.floats(),  # NaN, infinities, -0.0 and subnormals among them
    st.floats(min_value=0, max_value=5e6),
    st.integers(0, 2**33).map(lambda k: (k + 0.5) / 1000),  # on a half millisecond
    st.integers(0, 2**33).map(lambda k: k / 1000),
    st.integers(-(2**1100), 2**1100),
    st.integers(-5, 5000000),
    st.floats(width=32).map(numpy.float32),
    st.booleans(),
    st.none(),
    st.text(max_size=3),
    st.just(b"1"),
)


def timeout_outcome(v):
    """Milliseconds, or (exception, match)."""
    if v is None:
        return 0  # the native default wait
    if isinstance(v, (str, bytes)):
        return TypeError, "'timeout'"
    try:
        x = float(v)
    except OverflowError:  # an int beyond a double cannot be converted either
        return TypeError, "^timeout_ms\\(\\) argument 'timeout': int too large to convert to float$"
    if math.isnan(x) or math.isinf(x) or x < 0:
        return ValueError, BAD_TIMEOUT
    product = x * 1000.0
    if math.isinf(product):
        return U32_MAX
    ms = Decimal(product).to_integral_value(rounding=ROUND_HALF_UP)  # halves away from zero
    return min(int(ms), U32_MAX)


@bounded(500)
@given(v=timeouts)
def test_timeout_milliseconds(v):
    want = timeout_outcome(v)
    if isinstance(want, tuple):
        exc, match = want
        with pytest.raises(exc, match=match):
            probe.timeout_ms(v)
    else:
        assert probe.timeout_ms(v) == want


SMC = 0xFA11
POST, POLL, DROP = 1, 2, 4
SPIN = 33  # polls the native wait makes back to back before it sleeps


def smc_ops(n=0):
    return [struct.unpack_from("<I", rec, 4)[0] for number, rec in nrsim.requests(n) if number == SMC]


@bounded(8)
@given(v=st.one_of(st.floats(min_value=0.0005, max_value=0.0029), st.sampled_from([-1e-300, -0.0005]),
                   st.sampled_from([math.nan, math.inf, -math.inf])))
def test_call_waits_the_converted_milliseconds(sess, v):
    """Session.call takes the same conversion: a refused timeout sends
    nothing, and an accepted one of m ms gives up on a controller that never
    answers after at most the spin and m one-millisecond sleeps' polls."""
    nrsim.smc_hang(0)
    nrsim.clear_log()
    want = timeout_outcome(v)
    if isinstance(want, tuple):
        with pytest.raises(ValueError, match=BAD_TIMEOUT):
            sess.call(Message([nrsim.SMC_ECHO]), timeout=v)
        assert smc_ops() == []
        return
    assert 1 <= want <= 3
    raises_errno(errno.ETIMEDOUT, sess.call, Message([nrsim.SMC_ECHO]), timeout=v)
    ops = smc_ops()
    assert ops[0] == POST and ops[-1] == DROP
    assert 1 <= ops.count(POLL) <= SPIN + want


# ---- Window offsets and values --------------------------------------------

WIN_SIZE = 1 << 20  # Size.Mb1
WIN_ADDR = 0x200000
TILE = (1, 1)
ACCESSORS = {1: ("read_u8", "write_u8"), 4: ("read_u32", "write_u32"), 8: ("read_u64", "write_u64")}


@pytest.fixture
def window(sess):
    tlb = sess.alloc(Size.Mb1, Caching.Uncached)
    win = tlb.bind(Config(WIN_ADDR, *TILE))
    yield win
    tlb.free()


def device(offset, n):
    return nrsim.mem_read(0, *TILE, WIN_ADDR + offset, n)


offsets = st.one_of(
    st.integers(0, WIN_SIZE - 1),
    around(0, WIN_SIZE - 8, WIN_SIZE, 2**63, U64_MAX - 7, 2**64, spread=9),
    st.integers(-(2**70), 2**70),
    st.integers(0, WIN_SIZE + 16).map(numpy.uint64),
    st.booleans(),
    not_an_int(),
)


def values(width):
    top = 2 ** (8 * width) - 1
    return st.one_of(st.integers(0, top), around(0, top, spread=2), st.integers(-(2**70), 2**70),
                     st.integers(0, min(top, 2**63 - 1)).map(numpy.int64), not_an_int())


def uint_outcome(name, v, bits):
    if not isinstance(v, (int, numpy.integer)):
        return TypeError, f"'{name}'"
    if not 0 <= int(v) < 2**bits:
        return OverflowError, overflow_text(int(v))
    return int(v)


def access_outcome(width, offset, value=None, write=False):
    """The offset the access reaches, or (exception, match): offset, then
    value, then alignment, then bounds."""
    off = uint_outcome("offset", offset, 64)
    if isinstance(off, tuple):
        return off
    if write:
        val = uint_outcome("value", value, 8 * width)
        if isinstance(val, tuple):
            return val
    if off % width:
        return ValueError, f"^offset must be {width}-byte aligned$"
    if off + width > WIN_SIZE:
        return IndexError, "^offset out of bounds$"
    return off


@st.composite
def accesses(draw):
    width = draw(st.sampled_from([1, 4, 8]))
    return width, draw(offsets), draw(values(width)), draw(st.booleans())


@bounded(400)
@given(access=accesses(), fill=st.binary(min_size=8, max_size=8))
def test_window_access(window, access, fill):
    width, offset, value, write = access
    read_name, write_name = ACCESSORS[width]
    # The bytes around the access (or the window's start) are known, so a
    # refused call can be seen to have touched nothing.
    near = offset if isinstance(offset, (int, numpy.integer)) and 0 <= int(offset) < WIN_SIZE else 0
    start = min(int(near) // 8 * 8, WIN_SIZE - 32)
    pattern = fill * 4
    nrsim.mem_write(0, *TILE, WIN_ADDR + start, pattern)

    want = access_outcome(width, offset, value, write)
    if isinstance(want, tuple):
        exc, match = want
        with pytest.raises(exc, match=match):
            if write:
                getattr(window, write_name)(offset, value)
            else:
                getattr(window, read_name)(offset)
        assert device(start, 32) == pattern
        return
    if write:
        assert getattr(window, write_name)(offset, value) is None
        expected = bytearray(pattern)
        expected[want - start:want - start + width] = int(value).to_bytes(width, "little")
        assert device(start, 32) == bytes(expected)
        assert getattr(window, read_name)(offset) == int(value)
    else:
        got = getattr(window, read_name)(offset)
        assert type(got) is int
        assert got == int.from_bytes(device(want, width), "little")
        assert device(start, 32) == pattern
