"""The binding toolkit, reached through the test-only _nrhal_probe module:
argument parsing, conversions, borrow guards and PanicException, including
the paths that no public method of nrhal exercises yet."""
import inspect
import pathlib
import threading

import numpy
import pytest

import _nrhal_probe as probe


class TestParsing:
    # args(a, b=None, *, c=None, d) returns the given arguments by name.
    def test_positional_keyword_and_keyword_only(self):
        assert probe.args(1, d=4) == {"a": 1, "d": 4}
        assert probe.args(1, 2, c=3, d=4) == {"a": 1, "b": 2, "c": 3, "d": 4}
        assert probe.args(d=4, b=2, a=1) == {"a": 1, "b": 2, "d": 4}

    def test_given_none_is_given(self):
        assert probe.args(None, None, d=None) == {"a": None, "b": None, "d": None}

    def test_missing_required_positional(self):
        with pytest.raises(TypeError, match=r"^args\(\) missing required argument 'a'$"):
            probe.args(d=1)

    def test_missing_required_keyword_only(self):
        with pytest.raises(TypeError, match=r"^args\(\) missing required keyword-only argument 'd'$"):
            probe.args(1, 2)

    def test_keyword_only_refused_by_position(self):
        with pytest.raises(TypeError, match=r"^args\(\) takes 2 positional arguments but 3 were given$"):
            probe.args(1, 2, 3, d=4)

    def test_unexpected_keyword(self):
        with pytest.raises(TypeError, match=r"^args\(\) got an unexpected keyword argument 'e'$"):
            probe.args(1, d=4, e=5)

    def test_multiple_values(self):
        with pytest.raises(TypeError, match=r"^args\(\) got multiple values for argument 'a'$"):
            probe.args(1, a=2, d=4)

    def test_text_signature(self):
        assert str(inspect.signature(probe.args)) == "(a, b=None, *, c=None, d)"
        assert probe.args.__doc__ == "The arguments given, by name."

    def test_unicode_keyword_names(self):
        with pytest.raises(TypeError, match="'dé'"):
            probe.args(1, **{"dé": 1})


class TestUnsigned:
    @pytest.mark.parametrize("fn,top", [(probe.u8, 255), (probe.u32, 2**32 - 1), (probe.u64, 2**64 - 1)])
    def test_range(self, fn, top):
        assert fn(0) == 0
        assert fn(top) == top
        with pytest.raises(OverflowError, match="^number too large to fit in target type$"):
            fn(top + 1)
        with pytest.raises(OverflowError, match="^number too small to fit in target type$"):
            fn(-1)

    @pytest.mark.parametrize("fn", [probe.u8, probe.u32, probe.u64])
    def test_far_out_of_range(self, fn):
        with pytest.raises(OverflowError, match="too large"):
            fn(2**200)
        with pytest.raises(OverflowError, match="too small"):
            fn(-(2**200))

    def test_index_objects(self):
        assert probe.u32(numpy.uint32(7)) == 7
        assert probe.u64(numpy.int64(2**40)) == 2**40
        with pytest.raises(OverflowError):
            probe.u8(numpy.int16(-3))

    @pytest.mark.parametrize("value", [1.0, "1", None, b"\x01", numpy.float64(1)])
    def test_not_an_integer(self, value):
        with pytest.raises(TypeError, match=r"^uint\(\) argument 'value' must be int, not "):
            probe.u32(value)


class TestBool:
    @pytest.mark.parametrize("value,expected", [
        (True, True), (False, False),
        (numpy.True_, True), (numpy.False_, False), (numpy.bool_(1), True),
    ])
    def test_accepted(self, value, expected):
        assert probe.boolean(value) is expected

    @pytest.mark.parametrize("value", [0, 1, None, "True", 1.0, numpy.int8(1), [True]])
    def test_refused(self, value):
        with pytest.raises(TypeError, match=r"^boolean\(\) argument 'value' must be bool, not "):
            probe.boolean(value)


class TestStr:
    def test_utf8(self):
        assert probe.text("abc") == (b"abc", False)
        assert probe.text("dé€") == ("dé€".encode(), False)
        assert probe.text("") == (b"", False)

    def test_embedded_nul_is_detected(self):
        assert probe.text("a\0b") == (b"a\0b", True)
        assert probe.text("\0") == (b"\0", True)

    @pytest.mark.parametrize("value", [b"abc", pathlib.Path("/x"), 5, None])
    def test_only_str(self, value):
        with pytest.raises(TypeError, match=r"^text\(\) argument 'value' must be str, not "):
            probe.text(value)

    def test_str_without_utf8_form(self):
        with pytest.raises(UnicodeEncodeError):
            probe.text("\ud800")


class TestBorrow:
    def test_shared_uses_nest(self):
        cell = probe.Cell()
        assert cell.shared(lambda: cell.shared(lambda: cell.state)) == 2
        assert cell.state == 0

    def test_sole_while_shared(self):
        cell = probe.Cell()
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            cell.shared(lambda: cell.sole(lambda: None))
        assert cell.state == 0

    def test_sole_while_sole(self):
        cell = probe.Cell()
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            cell.sole(lambda: cell.sole(lambda: None))
        assert cell.state == 0

    def test_shared_while_sole(self):
        cell = probe.Cell()
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            cell.sole(lambda: cell.shared(lambda: None))
        assert cell.state == 0

    def test_sole_state_and_release_after_error(self):
        cell = probe.Cell()
        assert cell.sole(lambda: cell.state) == -1

        def boom():
            raise KeyError("x")
        with pytest.raises(KeyError):
            cell.shared(boom)
        with pytest.raises(KeyError):
            cell.sole(boom)
        assert cell.state == 0
        assert cell.sole(lambda: "free again") == "free again"

    def test_conflict_across_threads(self):
        # One thread holds sole use while waiting with the interpreter lock
        # released; the other thread's use fails at once instead of waiting.
        cell = probe.Cell()
        holding, release = threading.Event(), threading.Event()

        def hold():
            holding.set()
            release.wait()

        t = threading.Thread(target=cell.sole, args=(hold,))
        t.start()
        try:
            holding.wait()
            with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
                cell.shared(lambda: None)
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                cell.sole(lambda: None)
        finally:
            release.set()
            t.join()
        assert cell.state == 0

    def test_separate_objects_do_not_conflict(self):
        a, b = probe.Cell(), probe.Cell()
        assert a.sole(lambda: b.sole(lambda: (a.state, b.state))) == (-1, -1)


class TestPanic:
    def test_panic_exception(self):
        with pytest.raises(BaseException) as info:
            probe.panic("nrhal::dev::tlb::Tlb is unsendable, but sent to another thread")
        exc = info.value
        cls = type(exc)
        assert cls.__name__ == "PanicException"
        assert cls.__module__ == "nrhal"
        assert issubclass(cls, BaseException)
        assert not issubclass(cls, Exception)
        assert str(exc) == "nrhal::dev::tlb::Tlb is unsendable, but sent to another thread"

    def test_panic_escapes_except_exception(self):
        with pytest.raises(BaseException, match="^boom$"):
            try:
                probe.panic("boom")
            except Exception:  # must not catch it
                pytest.fail("PanicException caught as Exception")
