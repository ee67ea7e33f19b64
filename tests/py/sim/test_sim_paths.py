"""The simulated device directory and path resolution: listing, odd entries,
driver states, realpath through "..", cwd and real symlinks, and pass-through
of everything that is not simulated."""
import errno
import os

import pytest

import nrsim
from test_sim_support import (DT_CHR, DT_DIR, DT_REG, DT_UNKNOWN, SESSION, access, c_open,
                              errno_of, listing, realpath, realpath_chk)


class TestListing:
    @pytest.mark.parametrize("entry", ["readdir", "readdir64"])
    def test_launch_cards_are_character_devices(self, entry):
        assert listing("/dev/norvane", entry) == [
            (".", DT_DIR), ("..", DT_DIR), ("0", DT_CHR), ("1", DT_CHR)]

    def test_numbers_listed_in_ascending_numeric_order(self):
        nrsim.add(0x401e, "0000:10:00.0", number=10)
        nrsim.add(0x401e, "0000:02:00.0", number=2)
        nrsim.remove(0)
        assert os.listdir("/dev/norvane") == ["1", "2", "10"]

    def test_no_cards_leaves_an_empty_directory(self):
        nrsim.remove(0)
        nrsim.remove(1)
        assert listing("/dev/norvane") == [(".", DT_DIR), ("..", DT_DIR)]

    def test_listing_is_a_snapshot_and_closes_cleanly(self):
        d = os.scandir("/dev/norvane")
        first = next(d)
        nrsim.add(0xb140, "0000:09:00.0")
        rest = [e.name for e in d]
        d.close()
        assert [first.name] + rest == ["0", "1"]
        assert sorted(os.listdir("/dev/norvane")) == ["0", "1", "2"]

    def test_sysfs_directories_list_their_files(self):
        assert os.listdir("/sys/class/norvane") == ["norvane!0", "norvane!1"]
        assert listing("/sys/class/norvane/norvane!1")[2:] == [("nr_fw_bundle_ver", DT_REG)]
        assert os.listdir("/sys/bus/pci/devices/0000:04:00.0") == ["config"]


class TestOddEntries:
    def test_listed_with_their_kind(self):
        for name, kind in [("0x1", "chr"), ("1a", "reg"), ("7", "dir"), ("x", "unknown")]:
            nrsim.add_entry(name, kind)
        assert listing("/dev/norvane")[2:] == [
            ("0", DT_CHR), ("1", DT_CHR), ("0x1", DT_CHR), ("1a", DT_REG), ("7", DT_DIR), ("x", DT_UNKNOWN)]

    @pytest.mark.parametrize("kind", ["chr", "reg", "dir", "unknown"])
    def test_resolve_but_do_not_open(self, kind):
        nrsim.add_entry("7", kind)
        assert realpath("/dev/norvane/../norvane/7") == "/dev/norvane/7"
        access("/dev/norvane/7")
        assert errno_of(os.open, "/dev/norvane/7", SESSION) == errno.ENXIO
        assert nrsim.fd_count() == 0

    def test_removed_entry_is_gone(self):
        nrsim.add_entry("0x1")
        nrsim.remove_entry("0x1")
        assert os.listdir("/dev/norvane") == ["0", "1"]
        assert errno_of(realpath, "/dev/norvane/0x1") == errno.ENOENT
        assert errno_of(nrsim.remove_entry, "0x1") == errno.ENOENT

    def test_names_are_unique_and_valid(self):
        assert errno_of(nrsim.add_entry, "0") == errno.EEXIST
        nrsim.add_entry("9")
        assert errno_of(nrsim.add, 0x401e, "0000:09:00.0", number=9) == errno.EEXIST
        for bad in ["", ".", "..", "a/b"]:
            assert errno_of(nrsim.add_entry, bad) == errno.EINVAL
        with pytest.raises(ValueError):
            nrsim.add_entry("z", kind="fifo")

    def test_new_cards_skip_names_held_by_entries(self):
        nrsim.add_entry("2", "reg")
        assert nrsim.add(0x401e, "0000:07:00.0") == 3


class TestDriverStates:
    def test_unloaded_driver_has_no_directory(self):
        nrsim.set_driver("unloaded")
        for path in ["/dev/norvane", "/dev/norvane/0", "/sys/class/norvane/norvane!0/nr_fw_bundle_ver"]:
            assert errno_of(realpath, path) == errno.ENOENT
            assert errno_of(access, path) == errno.ENOENT
        assert errno_of(listing, "/dev/norvane") == errno.ENOENT
        assert errno_of(os.open, "/dev/norvane/0", SESSION) == errno.ENOENT
        assert nrsim.opens(0) == []
        # The card itself is still on the bus.
        access("/sys/bus/pci/devices/0000:03:00.0/config")

    def test_denied_driver_refuses_listing_only(self):
        nrsim.set_driver("denied")
        assert errno_of(listing, "/dev/norvane") == errno.EACCES
        assert errno_of(os.listdir, "/dev/norvane") == errno.EACCES
        fd = os.open("/dev/norvane/1", SESSION)
        os.close(fd)

    def test_loading_again_restores_the_listing(self):
        nrsim.set_driver("unloaded")
        nrsim.set_driver("loaded")
        assert os.listdir("/dev/norvane") == ["0", "1"]

    def test_unknown_state_is_refused(self):
        with pytest.raises(ValueError):
            nrsim.set_driver("gone")


class TestResolution:
    @pytest.mark.parametrize("path", [
        "/dev/norvane/../norvane/0", "/dev/norvane/./0", "//dev///norvane//0",
        "/dev/../dev/norvane/0", "/dev/norvane/0"])
    def test_dot_and_dotdot(self, path):
        assert realpath(path) == "/dev/norvane/0"
        assert realpath_chk(path) == "/dev/norvane/0"

    def test_relative_to_the_working_directory(self, monkeypatch):
        monkeypatch.chdir("/dev")
        assert realpath("norvane/1") == "/dev/norvane/1"
        monkeypatch.chdir("/tmp")
        assert realpath("../dev/norvane/1") == "/dev/norvane/1"
        fd = os.open("../dev/norvane/1", SESSION)
        assert nrsim.open_count(1) == 1
        os.close(fd)

    def test_real_symlink_to_a_node(self, tmp_path):
        (tmp_path / "x").mkdir()
        link = tmp_path / "x" / "link"
        link.symlink_to("/dev/norvane/0")
        assert realpath(str(link)) == "/dev/norvane/0"
        fd = os.open(str(link), SESSION)
        assert nrsim.open_count(0) == 1
        os.close(fd)

    def test_relative_symlink_chain_to_the_directory(self, tmp_path):
        (tmp_path / "dir").symlink_to(os.path.relpath("/dev/norvane", tmp_path))
        (tmp_path / "again").symlink_to("dir")
        assert realpath(str(tmp_path / "again" / "1")) == "/dev/norvane/1"
        # ".." after a symlink is taken from where the link led.
        assert realpath(str(tmp_path / "again" / ".." / "norvane" / "0")) == "/dev/norvane/0"
        assert [n for n, _ in listing(str(tmp_path / "again"))] == [".", "..", "0", "1"]

    def test_symlink_into_a_missing_node(self, tmp_path):
        (tmp_path / "link").symlink_to("/dev/norvane/5")
        assert errno_of(realpath, str(tmp_path / "link")) == errno.ENOENT
        assert errno_of(os.open, str(tmp_path / "link"), SESSION) == errno.ENOENT

    def test_nofollow_does_not_reach_the_node(self, tmp_path):
        (tmp_path / "link").symlink_to("/dev/norvane/0")
        assert errno_of(os.open, str(tmp_path / "link"), SESSION | os.O_NOFOLLOW) == errno.ELOOP
        assert nrsim.opens(0) == []

    def test_relative_to_a_directory_descriptor(self):
        dirfd = os.open("/dev/norvane", os.O_RDONLY | os.O_DIRECTORY)
        try:
            fd = os.open("1", SESSION, dir_fd=dirfd)
            assert nrsim.open_count(1) == 1
            os.close(fd)
            fd = c_open("../norvane/0", SESSION, "openat64", dirfd=dirfd)
            assert nrsim.open_count(0) == 1
            os.close(fd)
        finally:
            os.close(dirfd)
        real = os.open("/dev", os.O_RDONLY | os.O_DIRECTORY)
        try:
            fd = c_open("norvane/0", SESSION, "__openat_2", dirfd=real)
            assert nrsim.opens(0) == [SESSION, SESSION]
            os.close(fd)
        finally:
            os.close(real)


class TestMissing:
    @pytest.mark.parametrize("path", [
        "/dev/norvane/5", "/dev/norvane/00", "/dev/norvane/sub/0",
        "/sys/class/norvane/norvane!5", "/sys/class/norvane/norvane!0/missing",
        "/sys/bus/pci/devices/0000:03:00.0/vendor"])
    def test_enoent(self, path):
        assert errno_of(realpath, path) == errno.ENOENT
        assert errno_of(access, path) == errno.ENOENT
        assert errno_of(os.open, path, os.O_RDONLY) == errno.ENOENT

    @pytest.mark.parametrize("path", ["/dev/norvane/0/", "/dev/norvane/0/x", "/dev/norvane/0/.."])
    def test_below_a_node_is_not_a_directory(self, path):
        assert errno_of(realpath, path) == errno.ENOTDIR
        assert errno_of(os.open, path, os.O_RDONLY) == errno.ENOTDIR

    def test_removed_card_leaves_nothing_behind(self):
        nrsim.remove(1)
        assert errno_of(realpath, "/dev/norvane/1") == errno.ENOENT
        assert errno_of(access, "/sys/bus/pci/devices/0000:04:00.0") == errno.ENOENT
        assert errno_of(access, "/sys/class/norvane/norvane!1") == errno.ENOENT

    def test_simulated_directory_shadows_the_real_one(self):
        # A simulated card at the address of a real device hides the real
        # device's files: missing simulated files never reach the real tree.
        real = "/sys/bus/pci/devices/0000:00:00.0"
        if not os.path.exists(real + "/vendor"):  # os.stat is not simulated
            pytest.skip("no real PCI device at 0000:00:00.0")
        fd = os.open(real + "/vendor", os.O_RDONLY)
        os.close(fd)
        nrsim.add(0x401e, "0000:00:00.0")
        assert errno_of(os.open, real + "/vendor", os.O_RDONLY) == errno.ENOENT
        assert os.listdir(real) == ["config"]


class TestAccess:
    def test_modes(self):
        access("/dev/norvane/0", os.R_OK | os.W_OK)
        access("/dev/norvane", os.R_OK | os.X_OK)
        access("/sys/class/norvane/norvane!0/nr_fw_bundle_ver", os.R_OK)
        assert errno_of(access, "/sys/class/norvane/norvane!0/nr_fw_bundle_ver", os.W_OK) == errno.EACCES
        nrsim.set_driver("denied")
        assert errno_of(access, "/dev/norvane", os.R_OK) == errno.EACCES
        access("/dev/norvane", os.X_OK)


class TestPassThrough:
    def test_ordinary_files_are_untouched(self, tmp_path):
        p = tmp_path / "f"
        p.write_bytes(b"hello world")
        fd = c_open(str(p), os.O_RDONLY, "__open64_2")
        try:
            assert nrsim.fd_count() == 0
            assert os.read(fd, 5) == b"hello"
            assert os.pread(fd, 5, 6) == b"world"
        finally:
            os.close(fd)
        assert realpath(str(tmp_path / "." / "f")) == str(p)
        assert [n for n, t in listing(str(tmp_path)) if t == DT_REG] == ["f"]
        access(str(p), os.R_OK)
        assert errno_of(access, str(tmp_path / "missing")) == errno.ENOENT
        assert errno_of(realpath, str(tmp_path / "missing")) == errno.ENOENT

    def test_leaving_the_simulated_tree_reaches_real_files(self, tmp_path):
        fd = os.open("/dev/norvane/../null", os.O_RDONLY)
        assert nrsim.fd_count() == 0
        os.close(fd)
        assert realpath("/dev/norvane/../null") == "/dev/null"
        created = "/dev/norvane/../.." + str(tmp_path) + "/new"
        fd = os.open(created, os.O_WRONLY | os.O_CREAT, 0o600)
        os.close(fd)
        assert (tmp_path / "new").exists()

    def test_real_errors_stay_real(self, tmp_path):
        (tmp_path / "a").symlink_to("b")
        (tmp_path / "b").symlink_to("a")
        assert errno_of(realpath, str(tmp_path / "a")) == errno.ELOOP
        assert errno_of(os.open, "/nonexistent/../dev/norvane/0", os.O_RDONLY) == errno.ENOENT
        (tmp_path / "file").write_bytes(b"")
        through_file = str(tmp_path / "file") + "/.." * 8 + "/dev/norvane/0"
        assert errno_of(os.open, through_file, os.O_RDONLY) == errno.ENOTDIR
