"""The module as imported: registration, names, classes, NRError, signatures."""
import errno
import inspect
import os
import sys
import types

import pytest

import nrhal

TOP_LEVEL = ["NRError", "scan", "Device", "Session", "Info", "__version__",
             "kmd", "fw", "tlb", "power", "smc", "telem"]
SUBMODULES = ["kmd", "fw", "tlb", "power", "smc", "telem"]
CLASSES = ["Device", "Session", "Info"]
# What each submodule registers, in order; the others are still empty.
SUBMODULE_ENTRIES = {
    "kmd": ["version"],
    "fw": ["version"],
    "tlb": ["Size", "Caching", "Config", "Tlb", "Window"],
    "power": ["Flag"],
    "smc": ["Message", "Queued"],
    "telem": ["Tag", "Telemetry"],
}


class TestRegistration:
    def test_all_lists_every_entry_in_order(self):
        assert nrhal.__all__ == TOP_LEVEL

    def test_attributes_are_set_in_registration_order(self):
        # The module dict keeps insertion order; registration appends to
        # __all__ and then sets the attribute, one entry at a time.
        names = list(vars(nrhal))
        assert [n for n in names if n in TOP_LEVEL] == TOP_LEVEL
        assert names.index("__all__") < names.index("NRError")

    def test_star_import_binds_exactly_all(self):
        ns = {}
        exec("from nrhal import *", ns)
        ns.pop("__builtins__")
        assert sorted(ns) == sorted(TOP_LEVEL)
        assert ns["Session"] is nrhal.Session
        assert ns["tlb"] is nrhal.tlb

    def test_version(self):
        assert nrhal.__version__ == "0.1.1"
        assert type(nrhal.__version__) is str

    def test_module_docstring_is_empty(self):
        assert nrhal.__doc__ == ""

    @pytest.mark.parametrize("name", SUBMODULES)
    def test_submodule(self, name):
        sub = getattr(nrhal, name)
        assert type(sub) is type(nrhal)
        assert sub.__name__ == name  # the short name, not nrhal.<name>
        assert sys.modules["nrhal." + name] is sub
        assert sub.__all__ == SUBMODULE_ENTRIES.get(name, [])

    def test_dotted_imports_work(self):
        import nrhal.tlb
        from nrhal import smc
        assert smc is nrhal.smc
        ns = {}
        exec("import nrhal.telem as t", ns)
        assert ns["t"] is nrhal.telem

    def test_only_the_entry_point_is_exported(self):
        # The extension exports PyInit_nrhal and nothing of the native library.
        import ctypes
        lib = ctypes.CDLL(nrhal.__file__)
        assert hasattr(lib, "PyInit_nrhal")
        for name in ("nr_open", "nr_dev_scan", "fail"):
            assert not hasattr(lib, name)


class TestReinitialisation:
    def test_reimport_reuses_types(self):
        saved = {k: v for k, v in sys.modules.items() if k == "nrhal" or k.startswith("nrhal.")}
        try:
            for k in saved:
                del sys.modules[k]
            import nrhal as again
            assert again is not nrhal
            assert again.NRError is nrhal.NRError
            for name in CLASSES:
                assert getattr(again, name) is getattr(nrhal, name)
            assert again.__all__ == TOP_LEVEL
            assert sys.modules["nrhal.tlb"] is again.tlb is not nrhal.tlb
            assert again.scan.__self__ is again
            # Objects of either initialisation work with the other's types.
            assert isinstance(again.Device.from_path("/dev/norvane/0"), nrhal.Device)
            with pytest.raises(nrhal.NRError):
                again.Device.from_path("/dev/null")
        finally:
            for k in [k for k in sys.modules if k == "nrhal" or k.startswith("nrhal.")]:
                del sys.modules[k]
            sys.modules.update(saved)


class TestClasses:
    @pytest.mark.parametrize("name", CLASSES)
    def test_names(self, name):
        cls = getattr(nrhal, name)
        assert cls.__name__ == name
        assert cls.__qualname__ == name
        assert cls.__module__ == "builtins"
        assert repr(cls) == f"<class 'builtins.{name}'>"

    def test_session_methods_in_order(self):
        methods = [n for n in vars(nrhal.Session) if not n.startswith("_")]
        assert methods == ["close", "reopen", "dev", "info", "reset", "power", "post", "call", "alloc", "telemetry"]

    def test_submodule_classes_are_builtins_too(self):
        for sub in SUBMODULE_ENTRIES:
            for name in SUBMODULE_ENTRIES[sub]:
                cls = getattr(getattr(nrhal, sub), name)
                if not isinstance(cls, type):
                    continue  # the version functions
                assert (cls.__module__, cls.__qualname__) == ("builtins", name)

    @pytest.mark.parametrize("name", CLASSES)
    def test_cannot_be_instantiated(self, name):
        cls = getattr(nrhal, name)
        with pytest.raises(TypeError):
            cls()
        with pytest.raises(TypeError):
            cls.__new__(cls)

    @pytest.mark.parametrize("name", CLASSES)
    def test_shared_classes_cannot_be_modified(self, name):
        with pytest.raises(TypeError):
            setattr(getattr(nrhal, name), "extra", 1)

    def test_class_docstrings(self):
        assert nrhal.Device.__doc__.startswith("Device descriptor.\n\n")
        assert nrhal.Session.__doc__.startswith("Open session handle.\n\n")
        assert nrhal.Info.__doc__ == "Static device information."

    def test_info_properties_have_no_docstrings(self):
        for name in ("vendor_id", "device_id", "subsystem_vendor_id", "subsystem_id",
                     "bus_dev_fn", "pci_domain", "max_dma_buf_size_log2"):
            prop = vars(nrhal.Info)[name]
            assert prop.__doc__ is None
        assert vars(nrhal.Device)["id"].__doc__ == "Returns the device identifier."


class TestNRError:
    def test_type(self):
        assert issubclass(nrhal.NRError, OSError)
        assert nrhal.NRError.__name__ == "NRError"
        assert nrhal.NRError.__module__ == "nrhal"
        assert nrhal.NRError.__doc__ is None

    def test_raised_error_carries_errno_and_platform_text(self):
        # The path does not resolve: the native layer reports ENODEV.
        with pytest.raises(OSError) as info:
            nrhal.Device.from_path("/dev/norvane/no-such-node")
        e = info.value
        assert type(e) is nrhal.NRError
        assert e.errno == errno.ENODEV == 19
        assert e.strerror == os.strerror(errno.ENODEV)
        assert e.args == (19, os.strerror(19))
        assert str(e) == f"[Errno 19] {os.strerror(19)}"

    def test_enoent_is_not_mapped_to_a_builtin_subclass(self):
        e = nrhal.NRError(errno.ENOENT, os.strerror(errno.ENOENT))
        assert not isinstance(e, FileNotFoundError)
        assert type(e) is nrhal.NRError
        assert e.errno == errno.ENOENT


# Every function and method, with the parameters its text signature gives.
SIGNATURES = {
    (None, "scan"): "()",
    ("Device", "from_path"): "(path)",
    ("Device", "from_bdf"): "(addr)",
    ("Device", "open"): "(self, /, *, exclusive=False, nonblocking=False, persistent=False)",
    ("Device", "reset"): "(self, /)",
    ("Session", "__enter__"): "(self, /)",
    ("Session", "__exit__"): "(self, /, _exc_type, _exc_val, _exc_tb)",
    ("Session", "close"): "(self, /)",
    ("Session", "reopen"): "(self, /)",
    ("Session", "dev"): "(self, /)",
    ("Session", "info"): "(self, /)",
    ("Session", "post"): "(self, /, req)",
    ("Session", "call"): "(self, /, req, timeout=None)",
    ("Session", "reset"): "(self, /)",
    ("Session", "power"): "(self, /, flags)",
    ("Session", "alloc"): "(self, /, size, caching)",
    ("Session", "telemetry"): "(self, /)",
    ("kmd", "version"): "()",
    ("fw", "version"): "(sess)",
}

SUMMARIES = {
    (None, "scan"): "Discovers all connected Norvane devices.",
    ("Device", "from_path"): "Creates a device descriptor from a `/dev/norvane/N` path.",
    ("Device", "from_bdf"): "Creates a device descriptor from a PCIe bus/device/function (BDF)\n"
                            "address (e.g., `\"0000:03:00.0\"`).",
    ("Device", "open"): "Opens the device and returns a `Session` that owns the handle.",
    ("Session", "close"): "Closes the session explicitly.",
    ("Session", "reopen"): "Reopens the session in place with its original flags.",
    ("Session", "dev"): "Returns the underlying device descriptor.",
    ("Session", "info"): "Returns static information about the device.",
    ("Session", "post"): "Posts a message to the SMC controller without waiting.",
    ("Session", "call"): "Calls the SMC controller with a message and returns the reply.",
    ("Session", "alloc"): "Allocates a TLB window of the given size and cache mode.",
    ("Device", "reset"): "Resets the device.",
    ("Session", "reset"): "Resets the device.",
    ("Session", "power"): "Requests a set of power features for this device.",
    ("Session", "telemetry"): "Reads a complete telemetry snapshot.",
    ("kmd", "version"): "Returns kernel driver version.",
    ("fw", "version"): "Returns firmware bundle version.",
}


def _lookup(owner, name):
    return getattr(nrhal if owner is None else getattr(nrhal, owner), name)


class TestSignatures:
    @pytest.mark.parametrize("key", sorted(SIGNATURES, key=str))
    def test_signature(self, key):
        assert str(inspect.signature(_lookup(*key))) == SIGNATURES[key]

    def test_every_callable_is_covered(self):
        # A method added without a signature entry above fails here.
        found = {(None, "scan"), ("kmd", "version"), ("fw", "version")}
        for cls in CLASSES:
            for name in vars(getattr(nrhal, cls)):
                member = getattr(getattr(nrhal, cls), name)
                if not isinstance(member, (types.BuiltinFunctionType, types.MethodDescriptorType)):
                    continue  # slots (__repr__) and properties
                if member.__text_signature__ is not None:
                    found.add((cls, name))
                elif name in ("open", "close", "reopen", "dev", "info", "from_path", "from_bdf", "reset", "power"):
                    pytest.fail(f"{cls}.{name} has no text signature")
        assert found == set(SIGNATURES)

    @pytest.mark.parametrize("key", sorted(SUMMARIES, key=str))
    def test_summary(self, key):
        doc = _lookup(*key).__doc__
        assert doc.startswith(SUMMARIES[key])
        assert doc == SUMMARIES[key] or doc[len(SUMMARIES[key])] == "\n"

    def test_context_manager_methods_have_empty_text(self):
        assert nrhal.Session.__enter__.__doc__ in (None, "")
        assert nrhal.Session.__exit__.__doc__ in (None, "")


class TestCallErrors:
    """Bad calls raise TypeError naming the function and the argument."""

    def test_missing_argument(self):
        with pytest.raises(TypeError, match=r"from_path\(\).*'path'"):
            nrhal.Device.from_path()

    def test_unexpected_keyword(self):
        with pytest.raises(TypeError, match=r"from_bdf\(\).*'address'"):
            nrhal.Device.from_bdf(address="0000:03:00.0")

    def test_too_many_positional(self):
        with pytest.raises(TypeError, match=r"scan\(\) takes 0 positional arguments but 1 was given"):
            nrhal.scan(1)

    def test_multiple_values(self):
        with pytest.raises(TypeError, match=r"from_path\(\).*multiple values.*'path'"):
            nrhal.Device.from_path("/dev/norvane/0", path="/dev/norvane/0")

    def test_wrong_type(self):
        with pytest.raises(TypeError, match=r"from_path\(\) argument 'path' must be str, not int"):
            nrhal.Device.from_path(5)

    def test_keywords_by_name(self):
        assert nrhal.Device.from_path(path="/dev/norvane/1").id == 1
        assert nrhal.Device.from_bdf(addr="0000:04:00.0").id == 1


class Unconvertible:
    """Refused by every conversion: not an int, a float, a str, a sequence,
    a buffer or an instance of any of the module's classes."""


def declared_callables():
    """Every function, method and constructor that has a text signature,
    bound to a live object where it is a method."""
    from nrhal.smc import Message
    from nrhal.tlb import Caching, Config, Size
    sess = nrhal.scan()[0].open()
    tlb = sess.alloc(Size.Mb1, Caching.Uncached)
    owners = [nrhal.scan()[0], sess, tlb, tlb.bind(Config(0, 1, 1)), sess.post(Message([0])),
              sess.telemetry(), nrhal.Device]
    found = [nrhal.scan, nrhal.kmd.version, nrhal.fw.version, Config, Message]
    for owner in owners:
        for name in vars(owner if isinstance(owner, type) else type(owner)):  # not object's
            member = getattr(owner, name)
            if isinstance(member, types.BuiltinFunctionType) and member.__text_signature__:
                found.append(member)
    return sess, found


def test_signature_names_are_the_parsers():
    # Each name the text signature gives is a keyword the parser takes (the
    # call fails on the value, not on the name), and no other name is.
    sess, found = declared_callables()
    try:
        for fn in found:
            for name in inspect.signature(fn).parameters:
                with pytest.raises(TypeError) as info:
                    fn(**{name: Unconvertible()})
                text = str(info.value)
                assert "unexpected keyword" not in text and f"argument '{name}'" in text or \
                       "missing required" in text and f"'{name}'" not in text, (fn, text)
            with pytest.raises(TypeError, match="unexpected keyword argument 'not_a_parameter'"):
                fn(not_a_parameter=1)
    finally:
        sess.close()
