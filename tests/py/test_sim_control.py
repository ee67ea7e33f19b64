"""The nrsim control module: cards, identities, reset and argument checks."""
import errno
import os

import pytest

import nrsim
from test_sim_support import device_info, errno_of, open_card


class TestCards:
    def test_launch_configuration(self):
        assert nrsim.devices() == [0, 1]
        assert nrsim.identity(0) == nrsim.Identity(
            vendor_id=0x1F7A, device_id=0x401e, subsystem_vendor_id=0x1F7A, subsystem_id=1,
            bus_dev_fn=0x300, max_dma_buf_size_log2=28, pci_domain=0)
        assert nrsim.identity(1).device_id == 0xb140

    def test_add_takes_the_lowest_free_number(self):
        assert nrsim.add(0x401e, "05:00.0") == 2
        nrsim.remove(0)
        assert nrsim.add(0xb140, "0000:06:00.0") == 0
        assert nrsim.add(0xb140, "0000:07:00.0") == 3
        assert nrsim.devices() == [0, 1, 2, 3]
        assert nrsim.identity(0).bus_dev_fn == 0x600

    def test_add_at_a_number(self):
        assert nrsim.add(0x401e, "0000:05:00.0", number=4000000000) == 4000000000
        assert nrsim.devices() == [0, 1, 4000000000]
        assert errno_of(nrsim.add, 0x401e, "0000:05:00.0", number=1) == errno.EEXIST

    @pytest.mark.parametrize("bdf", ["", "03-00-0", "0000:03:20.0", "0000:100:00.0",
                                     "10000:03:00.0", "03:00.8", "0x3:00.0", " 03:00.0"])
    def test_bad_addresses(self, bdf):
        assert errno_of(nrsim.add, 0x401e, bdf) == errno.EINVAL
        assert nrsim.devices() == [0, 1]

    def test_argument_types(self):
        with pytest.raises(ValueError):
            nrsim.add(0x10000, "05:00.0")
        with pytest.raises(ValueError):
            nrsim.remove(-1)
        with pytest.raises(TypeError):
            nrsim.sever("0")

    @pytest.mark.parametrize("fn", [nrsim.remove, nrsim.sever, nrsim.identity, nrsim.open_count,
                                    nrsim.waiting])
    def test_missing_card(self, fn):
        assert errno_of(fn, 5) == errno.ENODEV

    def test_set_identity_keeps_unnamed_fields(self):
        before = nrsim.identity(1)
        nrsim.set_identity(1, vendor_id=0x1234, pci_domain=2)
        after = nrsim.identity(1)
        assert after == before._replace(vendor_id=0x1234, pci_domain=2)
        with pytest.raises(TypeError):
            nrsim.set_identity(1, colour=3)
        with pytest.raises(ValueError):
            nrsim.set_identity(1, subsystem_id=-1)
        assert errno_of(nrsim.set_identity, 9, vendor_id=1) == errno.ENODEV

    def test_sever_keeps_the_card(self):
        fd = open_card(0)
        nrsim.sever(0)
        assert nrsim.devices() == [0, 1]
        assert nrsim.identity(0).device_id == 0x401e
        assert nrsim.open_count(0) == 0 and nrsim.fd_count() == 1
        os.close(fd)


def test_every_public_function_is_exported():
    public = {name for name, v in vars(nrsim).items() if callable(v) and not name.startswith("_")}
    assert public <= set(nrsim.__all__), sorted(public - set(nrsim.__all__))


class TestReset:
    def test_restores_the_launch_configuration(self):
        nrsim.remove(0)
        nrsim.add(0xb140, "0000:08:00.0", number=8)
        nrsim.set_identity(1, vendor_id=1)
        nrsim.add_entry("0x1")
        nrsim.set_driver("denied")
        nrsim.fail(1, 0xFA00, errno.EIO)
        nrsim.fail_open(1, errno.EIO)
        nrsim.reset()
        assert nrsim.devices() == [0, 1]
        assert nrsim.identity(1).vendor_id == 0x1F7A
        assert os.listdir("/dev/norvane") == ["0", "1"]
        assert nrsim.opens(1) == [] and nrsim.requests(1) == []
        fd = open_card(1)  # no fault left armed
        assert device_info(fd)["device_id"] == 0xb140
        os.close(fd)

    def test_descriptors_survive_severed(self):
        fd = open_card(0)
        nrsim.reset()
        assert nrsim.fd_count() == 1 and nrsim.open_count(0) == 0
        assert errno_of(device_info, fd) == errno.ENODEV
        os.close(fd)
        assert nrsim.fd_count() == 0
