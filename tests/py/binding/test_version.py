"""Versions: nrhal.kmd.version and nrhal.fw.version through the installed
semver, and semver as the import machinery finds it: a stand-in module,
either generation's class name, hooks, and no semver at all."""
import errno
import subprocess
import sys
import threading
import types

import pytest
import semver

import nrhal
import nrsim
from conftest import dev, raises_errno

pytestmark = pytest.mark.usefixtures("no_session_left_open")

DRIVER_INFO = 0xFA05
# semver 3 names the class Version; semver 2 VersionInfo.
SemVer = getattr(semver, "Version", None) or semver.VersionInfo


class TestKmd:
    def test_version(self):
        nrsim.set_kmd_version(2, 255, 17)
        v = nrhal.kmd.version()
        assert type(v) is SemVer
        assert v == SemVer.parse("2.255.17")
        assert (v.major, v.minor, v.patch, v.prerelease, v.build) == (2, 255, 17, None, None)
        assert [number for number, _ in nrsim.requests(0)] == [DRIVER_INFO]
        assert nrsim.open_count(0) == 0

    @pytest.mark.parametrize("away", [lambda: nrsim.set_driver("unloaded"),
                                      lambda: [nrsim.remove(n) for n in nrsim.devices()]])
    def test_no_device(self, away):
        away()
        raises_errno(errno.ENODEV, nrhal.kmd.version)

    @pytest.mark.parametrize("driver,raised", [(errno.ENODEV, errno.ECONNRESET), (errno.EPERM, errno.EPERM)])
    def test_request_failure(self, driver, raised):
        nrsim.fail(0, DRIVER_INFO, driver)
        raises_errno(raised, nrhal.kmd.version)
        assert nrsim.open_count(0) == 0

    def test_takes_no_arguments(self):
        with pytest.raises(TypeError):
            nrhal.kmd.version(0)
        with pytest.raises(TypeError):
            nrhal.kmd.version(sess=None)


class TestFw:
    def test_release(self, sess):
        v = nrhal.fw.version(sess)
        assert type(v) is SemVer
        assert v == SemVer.parse("18.7.0")
        assert v.prerelease is None
        assert nrhal.fw.version(sess=sess) == v

    def test_release_candidate_orders_first(self, sess):
        nrsim.set_fw_version(0, "18.7.0.3\n")
        rc = nrhal.fw.version(sess)
        assert rc == SemVer.parse("18.7.0-rc.3")
        assert rc.prerelease == "rc.3"
        with dev(1).open() as other:
            release = nrhal.fw.version(other)
        assert release == SemVer.parse("18.7.0")
        assert rc < release
        assert SemVer.parse("18.6.9") < rc

    @pytest.mark.parametrize("text,numbers,pre", [
        ("4294967296.1.2.4294967297", (2**32, 1, 2), "rc.4294967297"),
        ("0.18446744073709551615.7.0", (0, 2**64 - 1, 7), None),
    ])
    def test_full_width_numbers(self, sess, text, numbers, pre):
        nrsim.set_fw_version(0, text)
        v = nrhal.fw.version(sess)
        assert (v.major, v.minor, v.patch) == numbers
        assert v.prerelease == pre

    @pytest.mark.parametrize("text", ["1.2.3\n", "", "v1.2.3.4", "\n"])
    def test_malformed(self, sess, text):
        nrsim.set_fw_version(0, text)
        raises_errno(errno.EIO, nrhal.fw.version, sess)

    def test_no_attribute(self, sess):
        nrsim.set_fw_version(0, None)
        raises_errno(errno.ENOENT, nrhal.fw.version, sess)

    def test_closed_session(self):
        s = dev().open(persistent=True)
        s.close()
        nrsim.clear_log()
        raises_errno(errno.ENOTCONN, nrhal.fw.version, s)
        assert nrsim.opens(0) == []

    def test_severed_session_still_reads(self, sess):
        # An attribute read, not a driver request: nothing is lost to a reset.
        nrsim.sever(0)
        nrsim.clear_log()
        assert nrhal.fw.version(sess) == SemVer.parse("18.7.0")
        assert nrsim.opens(0) == []

    @pytest.mark.parametrize("value", [0, None, "/dev/norvane/0", nrhal.Device.from_path("/dev/norvane/0")])
    def test_only_a_session(self, value):
        with pytest.raises(TypeError, match=r"argument 'sess' must be Session, not "):
            nrhal.fw.version(value)
        with pytest.raises(TypeError):
            nrhal.fw.version()


def stand_in(**classes):
    """A module named semver holding the given classes."""
    module = types.ModuleType("semver")
    for name, cls in classes.items():
        setattr(module, name, cls)
    return module


def recorder(seen):
    """A version class whose parse records its arguments."""

    class Recorder:
        @classmethod
        def parse(cls, *args, **kwargs):
            seen.append((cls, args, kwargs))
            return seen

    return Recorder


class TestSemverLookup:
    def test_text_handed_to_parse(self, sess, monkeypatch):
        seen = []
        cls = recorder(seen)
        monkeypatch.setitem(sys.modules, "semver", stand_in(Version=cls))
        nrsim.set_kmd_version(3, 0, 1)
        nrsim.set_fw_version(0, "19.2.0.7\n")
        assert nrhal.kmd.version() is seen  # whatever parse returns
        assert nrhal.fw.version(sess) is seen
        assert seen == [(cls, ("3.0.1",), {}), (cls, ("19.2.0-rc.7",), {})]

    @pytest.mark.parametrize("names", [("Version", "VersionInfo"), ("VersionInfo",)])
    def test_either_generation(self, sess, monkeypatch, names):
        # semver 3's Version first, else semver 2's VersionInfo.
        seen = []
        classes = {name: recorder(seen) for name in names}
        monkeypatch.setitem(sys.modules, "semver", stand_in(**classes))
        nrhal.fw.version(sess)
        assert seen == [(classes[names[0]], ("18.7.0",), {})]

    def test_neither_class(self, sess, monkeypatch):
        monkeypatch.setitem(sys.modules, "semver", stand_in(Other=recorder([])))
        with pytest.raises(AttributeError, match="'Version'"):
            nrhal.fw.version(sess)
        with pytest.raises(AttributeError, match="'Version'"):
            nrhal.kmd.version()

    def test_class_without_parse(self, sess, monkeypatch):
        monkeypatch.setitem(sys.modules, "semver", stand_in(Version=type("Version", (), {})))
        with pytest.raises(AttributeError, match="parse"):
            nrhal.fw.version(sess)

    def test_parse_error_propagates(self, sess, monkeypatch):
        error = ValueError("not a version")

        class Refusing:
            @staticmethod
            def parse(text):
                raise error

        monkeypatch.setitem(sys.modules, "semver", stand_in(Version=Refusing))
        with pytest.raises(ValueError) as info:
            nrhal.fw.version(sess)
        assert info.value is error

    def test_session_is_free_while_parse_runs(self, sess, monkeypatch):
        # parse is Python code: other threads may run in the middle of it and
        # must find the session free, as they do outside the four calls that
        # release the interpreter lock.
        seen = []

        class Using:
            @staticmethod
            def parse(text):
                def other():
                    try:
                        seen.append((repr(sess), sess.info().device_id))
                    except BaseException as e:  # PanicException is not an Exception
                        seen.append(e)

                t = threading.Thread(target=other)
                t.start()
                t.join()
                return text

        monkeypatch.setitem(sys.modules, "semver", stand_in(Version=Using))
        assert nrhal.fw.version(sess) == "18.7.0"
        assert seen == [("Session(id=0)", 0x401E)]

    def test_imported_on_every_call(self, sess, monkeypatch):
        first, second = [], []
        monkeypatch.setitem(sys.modules, "semver", stand_in(Version=recorder(first)))
        nrhal.fw.version(sess)
        monkeypatch.setitem(sys.modules, "semver", stand_in(Version=recorder(second)))
        nrhal.fw.version(sess)
        assert (len(first), len(second)) == (1, 1)


class Refuser:
    """A meta path finder that refuses semver, as if it were not installed."""

    def __init__(self):
        self.asked = 0

    def find_spec(self, name, path=None, target=None):
        if name == "semver":
            self.asked += 1
            raise ModuleNotFoundError("No module named 'semver'", name="semver")
        return None


class TestWithoutSemver:
    def test_blocked_in_sys_modules(self, sess, monkeypatch):
        monkeypatch.setitem(sys.modules, "semver", None)
        with pytest.raises(ModuleNotFoundError):
            nrhal.kmd.version()
        with pytest.raises(ModuleNotFoundError):
            nrhal.fw.version(sess)

    def test_refused_by_an_import_hook(self, sess, monkeypatch):
        finder = Refuser()
        monkeypatch.delitem(sys.modules, "semver")
        monkeypatch.setattr(sys, "meta_path", [finder] + sys.meta_path)
        with pytest.raises(ModuleNotFoundError, match="semver"):
            nrhal.fw.version(sess)
        with pytest.raises(ModuleNotFoundError, match="semver"):
            nrhal.kmd.version()
        assert finder.asked == 2

    def test_a_failing_query_comes_first(self, monkeypatch):
        monkeypatch.setitem(sys.modules, "semver", None)
        s = dev().open()
        s.close()
        raises_errno(errno.ENOTCONN, nrhal.fw.version, s)
        nrsim.set_driver("unloaded")
        raises_errno(errno.ENODEV, nrhal.kmd.version)

    def test_nrhal_imports_without_semver(self):
        code = ("import sys; sys.modules['semver'] = None\n"
                "import nrhal\n"
                "assert nrhal.kmd.version and nrhal.fw.version\n"
                "assert sys.modules['semver'] is None\n")
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
